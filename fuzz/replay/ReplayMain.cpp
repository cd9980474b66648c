// Runs a fuzz target without libFuzzer: every file named, and every file of
// every directory named, goes once through LLVMFuzzerTestOneInput. Linked
// with each target's source so that every build, whatever its compiler,
// replays the checked-in corpora. A fault ends the process like it would
// under the fuzzer; the exit status is non-zero when nothing was replayed.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool isDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string& path, std::vector<std::string>* files)
{
    if (!isDirectory(path)) {
        files->push_back(path);
        return;
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            collect(path + "/" + name, files);
    }
    closedir(dir);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], &files);
    std::sort(files.begin(), files.end());
    size_t replayed = 0;
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        // An exact-size heap copy: a read past the input's end is caught by
        // the sanitizers as it would be under the fuzzer.
        std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
        ++replayed;
    }
    printf("replayed %zu inputs\n", replayed);
    return replayed == 0 ? 1 : 0;
}
