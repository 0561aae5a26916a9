// Reads a text file line by line in large blocks, so that a 10 MB image costs a few hundred
// reads rather than one call per line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace brovald {

class LineReader {
public:
    explicit LineReader(std::FILE* file);

    // The next line, whole whatever its length, with its "\n" if it has one; a "\r" before the
    // "\n" is dropped, as text-mode reading does on Windows. The view lasts until the next call.
    // False at the end of the file or on a read error.
    bool next(std::string_view& line);

    bool failed() const { return failed_; }

    // No record comes near this length; of a longer line only this much is kept, so that a file
    // without line ends cannot exhaust memory.
    static constexpr std::size_t kept_line_length = 64 * 1024;

private:
    bool refill();
    void keep(const char* text, std::size_t length);
    std::string_view without_carriage_return(char* line, std::size_t length);

    std::FILE* file_;
    std::vector<char> block_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::string long_line_;
    bool failed_ = false;
};

}  // namespace brovald
