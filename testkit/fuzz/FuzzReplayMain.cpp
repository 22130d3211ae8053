// Runs a libFuzzer target's entry point over saved inputs, without libFuzzer: every file of the
// folders named on the command line, in name order. The test suites run each target this way
// over its seed corpus and the crash inputs saved beside it, so that what a fuzzer once found
// stays fixed on machines without clang. A crash or sanitizer report fails the run; so does a
// first folder (the corpus) that is missing or empty, which would prove nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus folder> [more folders]\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const auto files = filesIn(argv[i]);
        if (i == 1 && files.empty()) {
            std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[1]);
            return 1;
        }
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                                  std::istreambuf_iterator<char>());
            if (!in.eof() && in.fail()) {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
                return 1;
            }
            // A heap copy of exactly the input's size, so that AddressSanitizer catches a read
            // past its end.
            const std::vector<std::uint8_t> exact(bytes);
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
