// SP<T>: typed counted reference to a T derived from SPEnabled.
//
//   SP<OscProbeCPU> cpu(new OscProbeCPU(80));   // count 1
//   ...                                         // last SP gone: deleted
#ifndef OSCPROBE_SP_H
#define OSCPROBE_SP_H

#include "SPBase.h"

template <class T>
class SP : public SPBase {
public:
    SP() {}
    SP(SPEnabled* p) : SPBase(p) {}
    SP(const SP& other) : SPBase(other) {}
    ~SP() {}

    SP& operator=(const SP& other)
    {
        assign(other);
        return *this;
    }

    SP& operator=(T* p)
    {
        assign(p);
        return *this;
    }

    operator T*() const { return static_cast<T*>(get()); }
    T* operator->() const { return static_cast<T*>(get()); }
};

#endif
