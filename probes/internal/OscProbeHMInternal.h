// Pure half of the Hubmaster probe: how the "nHMONLINE" setting's text is
// read as a number. Not installed and not exported.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_INTERNAL_OSCPROBEHMINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBEHMINTERNAL_H

namespace oscprobe::internal {

// Whether `text` holds a non-zero number as atoi reads it: leading white
// space, an optional sign, then decimal digits up to the first other
// character; no leading digits reads as 0. For every number that fits an
// int the answer is atoi(text) != 0; a number too large for an int is
// non-zero.
bool hmSettingIsNonZero(const char* text);

} // namespace oscprobe::internal

#endif
