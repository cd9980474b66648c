// SPBase: the untyped part of the SP smart pointer: one counted reference.
//
// An SPBase object is used by one thread at a time; distinct SPBase objects
// that share a target may live on different threads.
#ifndef OSCPROBE_SPBASE_H
#define OSCPROBE_SPBASE_H

#include "JxExport.h"
#include "SPEnabled.h"

class SPBase {
public:
    SPBase() : target(nullptr) {}
    SPBase(SPEnabled* p) : target(nullptr) { assign(p); }
    SPBase(const SPBase& other) : target(nullptr) { assign(other); }
    JX_EXPORT ~SPBase();

    SPBase& operator=(const SPBase& other)
    {
        assign(other);
        return *this;
    }

    // Takes a reference on the new target (null allowed) and drops the one
    // held before; dropping the last reference deletes the old target.
    JX_EXPORT void assign(SPEnabled* p);
    JX_EXPORT void assign(const SPBase& other);

    SPEnabled* get() const { return target; }

private:
    SPEnabled* target;
};

#endif
