#include "SPEnabled.h"

SPEnabled::SPEnabled() : refs_(0) {}

SPEnabled::~SPEnabled() = default;

SPEnabled::SPEnabled(const SPEnabled&) : refs_(0) {}

SPEnabled& SPEnabled::operator=(const SPEnabled&)
{
    // The count belongs to this object, not to the value copied into it.
    return *this;
}

void SPEnabled::addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }

void SPEnabled::release()
{
    // acq_rel: the deleting thread must see every write made through other
    // references before they were dropped.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

long SPEnabled::refCount() const { return refs_.load(std::memory_order_relaxed); }
