// SPEnabled: base of every reference-counted object held through SP.
//
// The count is intrusive and atomic, so an SP made from a raw `this` shares
// the count with every other SP of the object, and references may be taken
// and dropped on any thread. Dropping the last reference deletes the object
// through its virtual destructor.
#ifndef OSCPROBE_SPENABLED_H
#define OSCPROBE_SPENABLED_H

#include <atomic>

#include "JxExport.h"

class JX_EXPORT SPEnabled {
public:
    SPEnabled();
    virtual ~SPEnabled();

    // A copy is a new object: it starts without references.
    SPEnabled(const SPEnabled&);
    SPEnabled& operator=(const SPEnabled&);

    void addRef();
    // Deletes the object when this was the last reference.
    void release();
    // The current count; for diagnostics only, it may change at once.
    long refCount() const;

private:
    std::atomic<long> refs_;
};

#endif
