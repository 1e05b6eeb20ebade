// Runs a fuzz target's entry point over saved inputs, without the fuzzing engine: the kept
// regression inputs and the seed corpus are replayed this way by the ordinary test run, with
// any compiler. Arguments are files or directories (every regular file in them, in name order).
// A broken check aborts; a missing path, or no input at all, is a failure too, so a moved folder
// cannot make the replay pass by running nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool runFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so a read past its end is caught by the sanitizers.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    int failures = 0;
    std::size_t total = 0;
    for (int a = 1; a < argc; ++a) {
        const fs::path arg(argv[a]);
        std::vector<fs::path> files;
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::directory_iterator(arg, ec)) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[a]);
            ++failures;
        }
        for (const auto& file : files) {
            if (!runFile(file)) {
                ++failures;
            }
        }
        std::printf("%s: %zu inputs replayed\n", argv[a], files.size());
        total += files.size();
    }
    if (total == 0) {
        std::fprintf(stderr, "no inputs at all\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
