// Runs a fuzz target without libFuzzer: every file named, and every file
// under every directory named, goes once through LLVMFuzzerTestOneInput, so
// every build replays the checked-in corpora whatever its compiler. A fault
// ends the process as it would under the fuzzer; the exit status is non-zero
// when nothing was replayed.
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const fs::directory_entry& e : fs::recursive_directory_iterator(argv[i]))
                if (!e.is_directory())
                    files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        // An exact-size heap copy: a read past the input's end is caught by
        // the sanitizers as it would be under the fuzzer.
        std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
