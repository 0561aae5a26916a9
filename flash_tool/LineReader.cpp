#include "LineReader.h"

#include <algorithm>
#include <cstring>

namespace brovald {

LineReader::LineReader(std::FILE* file) : file_(file), block_(64 * 1024) {}

bool LineReader::refill()
{
    begin_ = 0;
    end_ = std::fread(block_.data(), 1, block_.size(), file_);
    if (end_ == 0 && std::ferror(file_) != 0) {
        failed_ = true;
    }
    return end_ > 0;
}

void LineReader::keep(const char* text, std::size_t length)
{
    const std::size_t room = kept_line_length - std::min(kept_line_length, long_line_.size());
    long_line_.append(text, std::min(length, room));
}

bool LineReader::next_across_blocks(std::string_view& line)
{
    long_line_.clear();
    bool spans_blocks = false;
    for (;;) {
        if (begin_ == end_ && !refill()) {
            if (spans_blocks && !failed_) {
                // The last line of a file without a final line end.
                line = long_line_;
                return true;
            }
            return false;
        }
        char* start = block_.data() + begin_;
        const std::size_t available = end_ - begin_;
        const auto* line_end = static_cast<const char*>(std::memchr(start, '\n', available));
        if (line_end == nullptr) {
            keep(start, available);
            begin_ = end_;
            spans_blocks = true;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(line_end - start) + 1;
        begin_ += length;
        if (!spans_blocks) {
            line = without_carriage_return(start, length);
            return true;
        }
        keep(start, length);
        line = without_carriage_return(long_line_.data(), long_line_.size());
        return true;
    }
}

}  // namespace brovald
