#include "SPBase.h"

SPBase::~SPBase()
{
    if (target != nullptr)
        target->release();
}

void SPBase::assign(SPEnabled* p)
{
    // Take the new reference before dropping the old one: assigning an
    // object to itself must not delete it on the way.
    if (p != nullptr)
        p->addRef();
    SPEnabled* old = target;
    target = p;
    if (old != nullptr)
        old->release();
}

void SPBase::assign(const SPBase& other) { assign(other.target); }
