// Owners of a directory stream and a stdio file that close them on every
// way out of a scope, error paths included: no probe keeps a descriptor
// past the call that opened it.
//
// Threading: a handle belongs to the call that made it.
#ifndef OSCPROBE_INTERNAL_HANDLES_H
#define OSCPROBE_INTERNAL_HANDLES_H

#include <dirent.h>
#include <stdio.h>

#include <memory>

namespace oscprobe::internal {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

} // namespace oscprobe::internal

#endif
