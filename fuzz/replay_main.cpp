// Replays stored fuzz inputs through a target's LLVMFuzzerTestOneInput without libFuzzer, so the
// release and sanitizer builds run every seed and corpus input as an ordinary test.
//
//   fuzz_replay_<target> [--max-file-bytes N] [--max-total-bytes N] <file or folder>...
//
// A folder stands for its regular files in name order. The bounds keep a corpus small enough to
// live in the repository: a file or a total beyond them fails the run after the replay.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path& argument)
{
    std::vector<fs::path> files;
    if (fs::is_directory(argument)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(argument)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
    } else if (fs::exists(argument)) {
        files.push_back(argument);
    }
    return files;
}

bool read_whole(const fs::path& file, std::vector<std::uint8_t>& bytes)
{
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);

    std::uintmax_t max_file = UINTMAX_MAX, max_total = UINTMAX_MAX;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--max-file-bytes" || arg == "--max-total-bytes") && i + 1 < argc) {
            (arg == "--max-file-bytes" ? max_file : max_total) = std::strtoumax(argv[++i], nullptr, 10);
            continue;
        }
        const std::vector<fs::path> found = inputs_of(arg);
        files.insert(files.end(), found.begin(), found.end());
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs in the arguments given\n");
        return 2;
    }

    std::uintmax_t total = 0;
    std::vector<std::string> oversized;
    std::vector<std::uint8_t> bytes;
    for (const fs::path& file : files) {
        if (!read_whole(file, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 2;
        }
        // Named before it runs: a crash ends the process, and the last name is the input.
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        total += bytes.size();
        if (bytes.size() > max_file)
            oversized.push_back(file.string());
    }
    std::printf("replay: %zu inputs, %ju bytes, all passed\n", files.size(), total);
    for (const std::string& file : oversized)
        std::fprintf(stderr, "replay: %s is larger than %ju bytes\n", file.c_str(), max_file);
    if (total > max_total)
        std::fprintf(stderr, "replay: the inputs hold %ju bytes, more than %ju\n", total, max_total);
    return oversized.empty() && total <= max_total ? 0 : 1;
}
