#include "layout.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace flashfs {

const char* block_state_name(std::uint16_t state)
{
    switch (state) {
        case BS_ERASED:
            return "ERASED";
        case BS_FREE:
            return "FREE";
        case BS_DATA:
            return "DATA";
        case BS_CLEANING:
            return "CLEANING";
        case BS_COPYING:
            return "COPYING";
        case BS_INODES:
            return "INODES";
        case BS_INODESLOST:
            return "INODESLOST";
        default:
            return "INVALID";
    }
}

void JournalRecord::encode(std::uint8_t out[kJournalRecordSize]) const
{
    out[0] = state;
    out[1] = flags;
    put16(out + 2, static_cast<std::uint16_t>(new_inode));
    put16(out + 4, static_cast<std::uint16_t>(link));
    put16(out + 6, static_cast<std::uint16_t>(old_inode));
    put32(out + 8, location);
    put16(out + 12, size);
    put16(out + 14, static_cast<std::uint16_t>(remove));
}

JournalRecord JournalRecord::decode(const std::uint8_t in[kJournalRecordSize])
{
    JournalRecord r;
    r.state = in[0];
    r.flags = in[1];
    r.new_inode = static_cast<std::int16_t>(get16(in + 2));
    r.link = static_cast<std::int16_t>(get16(in + 4));
    r.old_inode = static_cast<std::int16_t>(get16(in + 6));
    r.location = get32(in + 8);
    r.size = get16(in + 12);
    r.remove = static_cast<std::int16_t>(get16(in + 14));
    return r;
}

int stored_name_length(const std::uint8_t* object, std::uint32_t size)
{
    const void* nul = std::memchr(object, 0, size);
    return nul ? static_cast<int>(static_cast<const std::uint8_t*>(nul) - object) : -1;
}

namespace {

// Offset of the last 0 byte before `size`, or -1. Eight bytes a step: every read and write asks
// for the lengths of a file's segments, and a damaged object's size can reach far past its data.
std::int64_t last_zero_byte(const std::uint8_t* bytes, std::uint32_t size)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    std::uint32_t end = size;
    for (; end >= 8; end -= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + end - 8, sizeof word);
        if (((word - kOnes) & ~word & kHighBits) != 0)  // some byte of the word is 0
            break;
    }
    while (end > 0) {
        if (bytes[--end] == 0)
            return end;
    }
    return -1;
}

}  // namespace

std::int32_t stored_data_length(const std::uint8_t* object, std::uint32_t size, bool segment)
{
    const std::int64_t last_zero = last_zero_byte(object, size);
    if (last_zero < 0)
        return 0;
    std::int64_t start = 0;
    if (!segment) {
        int name_end = stored_name_length(object, size);
        if (name_end < 0)
            return 0;
        start = name_end + 1;
    }
    std::int64_t length = last_zero - start;
    return length > 0 ? static_cast<std::int32_t>(length) : 0;
}

bool is_forbidden_name_char(char c)
{
    switch (c) {
        case '\\':
        case '/':
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
            return true;
        default:
            return false;
    }
}

std::uint16_t age_distance(std::uint16_t x, std::uint16_t y)
{
    auto forward = static_cast<std::uint16_t>(x - y);
    return forward <= 0x8000 ? forward : static_cast<std::uint16_t>(y - x);
}

bool is_erased(const std::uint8_t* bytes, std::uint32_t count)
{
    // Compared a kilobyte at a time: mounts look at whole blocks and inode tables this way.
    static const std::array<std::uint8_t, 1024> erased = [] {
        std::array<std::uint8_t, 1024> all{};
        all.fill(0xFF);
        return all;
    }();
    for (std::uint32_t at = 0; at < count; at += erased.size()) {
        const std::uint32_t n = std::min<std::uint32_t>(count - at, erased.size());
        if (std::memcmp(bytes + at, erased.data(), n) != 0)
            return false;
    }
    return true;
}

}  // namespace flashfs
