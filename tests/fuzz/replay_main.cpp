// Runs a fuzz target over every file of the folders (or the files) named on the command line:
// the corpus as a regression test in builds without libFuzzer. Exit 0 when all ran.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

namespace {

int replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path where = argv[i];
        if (std::filesystem::is_directory(where)) {
            for (const auto& entry : std::filesystem::directory_iterator(where)) {
                if (entry.is_regular_file()) runs += replay(entry.path());
            }
        } else {
            runs += replay(where);
        }
    }
    std::printf("%d inputs replayed\n", runs);
    return runs > 0 ? 0 : 1;
}
