#include "JxCriticalSectionH.h"

JxCriticalSectionH::JxCriticalSectionH() = default;
JxCriticalSectionH::~JxCriticalSectionH() = default;

bool JxCriticalSectionH::enter(bool wait)
{
    if (!wait)
        return mutex_.try_lock();
    mutex_.lock();
    return true;
}

void JxCriticalSectionH::leave() { mutex_.unlock(); }
