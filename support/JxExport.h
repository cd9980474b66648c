// Symbol visibility for the support stand-in library (liboscsupport).
//
// The library is built with hidden visibility; only what is marked JX_EXPORT
// is part of its ABI.
#ifndef OSCPROBE_JXEXPORT_H
#define OSCPROBE_JXEXPORT_H

#if defined(__GNUC__)
#define JX_EXPORT __attribute__((visibility("default")))
#else
#define JX_EXPORT
#endif

#endif
