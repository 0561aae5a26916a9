// Reads a text file line by line in large blocks, so that a 10 MB image costs a few hundred
// reads rather than one call per line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
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
    bool next(std::string_view& line)
    {
        // Nearly every line lies whole in the current block; only the others take the long way.
        char* start = block_.data() + begin_;
        const auto* line_end = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        if (line_end == nullptr) {
            return next_across_blocks(line);
        }
        const std::size_t length = static_cast<std::size_t>(line_end - start) + 1;
        begin_ += length;
        line = without_carriage_return(start, length);
        return true;
    }

    // The text of the current block not yet read: the lines that lie whole in it, then the start
    // of the next. A caller may take a line from it itself and pass over it with skip.
    std::string_view unread() const { return {block_.data() + begin_, end_ - begin_}; }
    void skip(std::size_t length) { begin_ += length; }

    bool failed() const { return failed_; }

    // No record comes near this length; of a longer line only this much is kept, so that a file
    // without line ends cannot exhaust memory.
    static constexpr std::size_t kept_line_length = 64 * 1024;

private:
    bool next_across_blocks(std::string_view& line);
    bool refill();
    void keep(const char* text, std::size_t length);

    static std::string_view without_carriage_return(char* line, std::size_t length)
    {
        if (length >= 2 && line[length - 1] == '\n' && line[length - 2] == '\r') {
            line[length - 2] = '\n';
            --length;
        }
        return {line, length};
    }

    std::FILE* file_;
    std::vector<char> block_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::string long_line_;
    bool failed_ = false;
};

}  // namespace brovald
