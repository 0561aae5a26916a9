#include "Strfunction.h"

#include <algorithm>

namespace {

// 1-based position of sub in text, 0 when absent. An empty sub is never found.
std::size_t position_of(std::string_view sub, std::string_view text)
{
    if (sub.empty()) {
        return 0;
    }
    const std::size_t at = text.find(sub);
    return at == std::string_view::npos ? 0 : at + 1;
}

// Deletes the first count characters; a count beyond the text empties it, a count <= 0 does nothing.
void delete_front(std::string_view& text, std::ptrdiff_t count)
{
    if (count <= 0) {
        return;
    }
    text.remove_prefix(std::min<std::size_t>(static_cast<std::size_t>(count), text.size()));
}

// Steps from one field to the next: through the separator; with none left this deletes
// separator length - 1 characters.
void skip_field(std::string_view& work, std::string_view separator)
{
    const std::size_t p = position_of(separator, work);
    delete_front(work, static_cast<std::ptrdiff_t>(p) + static_cast<std::ptrdiff_t>(separator.size()) - 1);
}

// The field work starts with: up to the first separator.
std::string_view first_field(std::string_view work, std::string_view separator)
{
    const std::size_t p = position_of(separator, work);
    return p > 0 ? work.substr(0, p - 1) : work;
}

}  // namespace

std::string text_field(std::string_view text, std::string_view separator, int n)
{
    std::string_view work = text;
    for (int i = 0; i < n; ++i) {
        skip_field(work, separator);
    }
    return std::string(first_field(work, separator));
}

int text_field_count(std::string_view text, std::string_view separator)
{
    if (text.empty()) {
        return 0;
    }
    std::string_view work = text;
    int count = 0;
    std::size_t p = 0;
    do {
        p = position_of(separator, work);
        delete_front(work, static_cast<std::ptrdiff_t>(p));
        ++count;
    } while (p != 0);
    return count;
}

void text_split(std::string_view text, std::string_view separator, std::vector<std::string>& list,
                std::string_view trim)
{
    const int n = text_field_count(text, separator);
    list.clear();
    // Field i is what text_field(text, separator, i) gives; each is reached from the one before
    // instead of from the start again, which made long paths cost the cube of their length.
    std::string_view work = text;
    for (int i = 0; i < n; ++i, skip_field(work, separator)) {
        std::string_view field = first_field(work, separator);
        if (!trim.empty()) {
            delete_front(field, static_cast<std::ptrdiff_t>(trim.size()));
        }
        if (!field.empty()) {
            list.emplace_back(field);
        }
    }
}

namespace {

// Bytes of one unit's encoding: 1, 2 or 3.
std::size_t encode_unit(char16_t unit, char out[3])
{
    if (unit <= 0x7F) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit > 0x7FF) {
        out[0] = static_cast<char>(0xE0 | (unit >> 12));
        out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (unit & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xC0 | ((unit >> 6) & 0x1F));
    out[1] = static_cast<char>(0x80 | (unit & 0x3F));
    return 2;
}

// Decodes one unit from bytes[0..available). Returns the number of bytes taken, or 0 when the
// decoding ends here (terminator, continuation byte, four-byte lead, or a cut-short sequence).
std::size_t decode_unit(const unsigned char* bytes, std::size_t available, char16_t& unit)
{
    if (available == 0 || bytes[0] == 0) {
        return 0;
    }
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
        unit = lead;
        return 1;
    }
    std::size_t length = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
    } else {
        return 0;
    }
    if (available < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (bytes[i] == 0) {
            return 0;
        }
    }
    if (length == 2) {
        unit = static_cast<char16_t>(((lead & 0x1F) << 6) | (bytes[1] & 0x3F));
    } else {
        unit = static_cast<char16_t>(((lead & 0x0F) << 12) | ((bytes[1] & 0x3F) << 6) | (bytes[2] & 0x3F));
    }
    return length;
}

}  // namespace

std::size_t utf16_to_utf8(const char16_t* units, char* bytes, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    std::size_t written = 0;
    for (; *units != 0; ++units) {
        char encoded[3];
        const std::size_t length = encode_unit(*units, encoded);
        if (written + length + 1 > capacity) {
            break;
        }
        for (std::size_t i = 0; i < length; ++i) {
            bytes[written++] = encoded[i];
        }
    }
    bytes[written] = 0;
    return written;
}

std::string utf16_to_utf8(std::u16string_view units)
{
    std::string result;
    result.reserve(units.size());
    for (const char16_t unit : units) {
        if (unit == 0) {
            break;
        }
        char encoded[3];
        result.append(encoded, encode_unit(unit, encoded));
    }
    return result;
}

std::size_t utf8_to_utf16(const char* bytes, char16_t* units, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    // Reading stops at the terminator, so a sequence never looks past it; three bytes is the
    // longest look-ahead and each is checked for zero before the next is read.
    while (written + 1 < capacity) {
        char16_t unit = 0;
        std::size_t available = 1;
        while (available < 3 && in[available - 1] != 0) {
            ++available;
        }
        const std::size_t taken = decode_unit(in, available, unit);
        if (taken == 0) {
            break;
        }
        units[written++] = unit;
        in += taken;
    }
    units[written] = 0;
    return written;
}

std::u16string utf8_to_utf16(std::string_view bytes)
{
    std::u16string result;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    while (true) {
        char16_t unit = 0;
        const std::size_t taken = decode_unit(in, left, unit);
        if (taken == 0) {
            break;
        }
        result.push_back(unit);
        in += taken;
        left -= taken;
    }
    return result;
}

void append_utf16(std::u16string& out, char32_t code_point)
{
    if (code_point > 0x10FFFF) {
        out.push_back(u'\xFFFD');
    } else if (code_point >= 0x10000) {
        code_point -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(code_point));
    }
}

std::string text_replace_char(std::string_view text, std::string_view from, std::string_view to)
{
    std::string result(text);
    if (from.empty() || to.empty()) {
        return result;
    }
    for (char& c : result) {
        if (c == from[0]) {
            c = to[0];
        }
    }
    return result;
}

std::string bytes_to_hex_text(const std::uint8_t* bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string result;
    result.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        result.push_back(b >= 0x10 ? digits[b >> 4] : ' ');
        result.push_back(digits[b & 0x0F]);
        result.push_back(' ');
    }
    return result;
}
