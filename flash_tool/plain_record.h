// Plain data records: the form of nearly every line of an image, recognised and decoded without
// the general rules of srec_read_line, which give the same result for them.
//
// A plain record has every character its count claims present, digits in its count and
// address, and neither a NUL nor (as the last checksum character) a line end among them. The
// general rules then find no NUL that cuts the line, read the whole count and address, and
// refuse the line only when a data character is no digit, which decoding the data finds as
// well. Inline, because the reader meets one per line, 131072 times for an image.
#pragma once

#include "hex_digits.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brovald {

// Address bytes of a data record type, 0 for the types that place nothing.
inline int srec_address_bytes(int type)
{
    return type >= 1 && type <= 3 ? type + 1 : 0;
}

// The number written by exactly n digits (n at most 8) at text, or -1 when one of them is no
// digit.
inline std::int64_t whole_hex_value(const char* text, int n)
{
    std::uint32_t value = 0;
    int bad = 0;
    for (int i = 0; i < n; ++i) {
        const int digit = hex_digit_value(text[i]);
        bad |= digit;
        value = value << 4 | static_cast<std::uint32_t>(digit & 0x0F);
    }
    return bad < 0 ? -1 : std::int64_t{value};
}

struct PlainRecord {
    int type = 0;
    // Data bytes; -1 when the text does not start with a plain record.
    int length = -1;
    std::uint32_t address = 0;
    // The data digits, not yet checked.
    const char* data = nullptr;
    // The position just after the checksum.
    std::size_t end = 0;
};

// The plain record at the start of text; anything may follow its checksum.
inline PlainRecord find_plain_record(std::string_view text)
{
    PlainRecord plain;
    if (text.size() < 4 || text[0] == '\0') {
        return plain;
    }
    const int type = text[1] - '0';
    const int address_bytes = srec_address_bytes(type);
    const std::int64_t count = whole_hex_value(text.data() + 2, 2);
    if (address_bytes == 0 || count < 0) {
        return plain;
    }
    const int length = static_cast<int>(count) - address_bytes - 1;
    const std::size_t end = 4 + 2 * static_cast<std::size_t>(count);
    if (length < 0 || text.size() < end || text[end - 2] == '\0' || text[end - 1] == '\0' || text[end - 1] == '\n') {
        return plain;
    }
    const std::int64_t address = whole_hex_value(text.data() + 4, 2 * address_bytes);
    if (address >= 0) {
        plain = {type, length, static_cast<std::uint32_t>(address), text.data() + 4 + 2 * address_bytes, end};
    }
    return plain;
}

// A plain record that is a whole line of a text holding more lines after it: ended right after
// its checksum by "\n" or "\r\n". Its line then is exactly what the line reader would give.
struct PlainLine {
    std::uint32_t address = 0;
    // The data digits (not yet checked) and the number of bytes they make; -1 when the text
    // starts otherwise, also with a line it holds only part of.
    const char* data = nullptr;
    int length = -1;
    // The line with its line end.
    std::size_t size = 0;
};

inline PlainLine srec_plain_line(std::string_view text)
{
    const PlainRecord plain = find_plain_record(text);
    if (plain.length < 0) {
        return {};
    }
    std::size_t line_end = 0;
    if (plain.end < text.size() && text[plain.end] == '\n') {
        line_end = 1;
    } else if (plain.end + 1 < text.size() && text[plain.end] == '\r' && text[plain.end + 1] == '\n') {
        line_end = 2;
    } else {
        return {};
    }
    return {plain.address, plain.data, plain.length, plain.end + line_end};
}

}  // namespace brovald
