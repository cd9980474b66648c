// Symbol visibility for liboscprobe.
//
// The library is built with hidden visibility (inline functions included)
// and a version script; a class marked OSCPROBE_EXPORT exports its
// out-of-line operations, virtual table and type information, nothing else.
#ifndef OSCPROBE_OSCPROBEEXPORT_H
#define OSCPROBE_OSCPROBEEXPORT_H

#if defined(__GNUC__)
#define OSCPROBE_EXPORT __attribute__((visibility("default")))
#else
#define OSCPROBE_EXPORT
#endif

#endif
