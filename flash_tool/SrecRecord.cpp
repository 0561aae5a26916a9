#include "SrecRecord.h"

#include "hex_digits.h"

#include <algorithm>

namespace brovald {

namespace {

// Address bytes of a data record type, 0 for the types that place nothing.
int address_bytes_of(int type)
{
    switch (type) {
        case 1:
            return 2;
        case 2:
            return 3;
        case 3:
            return 4;
        default:
            return 0;
    }
}

// The number written by exactly n digits (n at most 8) at text, or -1 when one of them is no
// digit.
std::int64_t whole_hex_value(const char* text, int n)
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

// A data record as nearly every line of an image holds it: every character its count claims is
// on the line, digits where digits belong, and neither a NUL nor (as the last checksum
// character) a line end among them. For such a line the general rules below give exactly this
// result, so it is decoded without searching for a NUL or reading digits one at a time.
// Returns -1 for any other line, leaving the record's type, address and length as they were.
int read_plain_data_record(std::string_view line, SrecRecord& record)
{
    if (line.size() < 4 || line[0] == '\0') {
        return -1;
    }
    const int type = line[1] - '0';
    const int address_bytes = address_bytes_of(type);
    const std::int64_t count = whole_hex_value(line.data() + 2, 2);
    if (address_bytes == 0 || count < 0) {
        return -1;
    }
    const int length = static_cast<int>(count) - address_bytes - 1;
    const std::size_t end = 4 + 2 * static_cast<std::size_t>(count);
    if (length < 0 || line.size() < end || line[end - 2] == '\0' || line[end - 1] == '\0' || line[end - 1] == '\n') {
        return -1;
    }
    const char* const fields = line.data() + 4;
    const std::int64_t address = whole_hex_value(fields, 2 * address_bytes);
    if (address < 0 || !hex_decode(fields + 2 * address_bytes, static_cast<std::size_t>(length), record.data.data())) {
        return -1;
    }
    record.type = type;
    record.address = static_cast<std::uint32_t>(address);
    record.length = length;
    return length;
}

std::FILE* diagnostics = nullptr;

int illegal_line(std::string_view line)
{
    std::fprintf(image_diagnostics(), "WARNING: Illegal hex line: %.*s\n", static_cast<int>(line.size()), line.data());
    return 0;
}

}  // namespace

void set_image_diagnostics(std::FILE* stream)
{
    diagnostics = stream;
}

std::FILE* image_diagnostics()
{
    return diagnostics != nullptr ? diagnostics : stderr;
}

std::uint32_t hex_value(std::string_view text, std::size_t n)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n && i < text.size(); ++i) {
        const int digit = hex_digit_value(text[i]);
        if (digit < 0) {
            break;
        }
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::size_t hex_bytes(std::uint8_t* destination, std::string_view text, std::size_t n)
{
    const std::size_t pairs = std::min(n, text.size() / 2);
    // Records are nearly always well formed: convert all pairs, then look for the first bad one
    // only when there is one.
    if (hex_decode(text.data(), pairs, destination)) {
        return pairs;
    }
    std::size_t good = 0;
    while (hex_digit_value(text[2 * good]) >= 0 && hex_digit_value(text[2 * good + 1]) >= 0) {
        ++good;
    }
    return good;
}

int srec_read_line(std::string_view line, SrecRecord& record)
{
    if (const int length = read_plain_data_record(line, record); length >= 0) {
        return length;
    }
    // A line is text: it ends at a NUL byte, and so does the warning that quotes it.
    line = line.substr(0, line.find('\0'));
    // The first character is not examined: only the type digit tells records apart.
    record.type = line.size() > 1 ? line[1] - '0' : -'0';
    record.length = 0;
    const int address_bytes = address_bytes_of(record.type);
    if (address_bytes == 0) {
        const bool places_nothing = record.type == 0 || (record.type >= 7 && record.type <= 9);
        return places_nothing ? 0 : illegal_line(line);
    }

    // The count covers the address, the data and the checksum, and every byte it claims must be
    // on the line. The checksum is never read, so any two characters stand for it; a bad digit
    // in the address makes a wrong address, which lies outside the image and stops the reading.
    const std::size_t count = hex_value(line.substr(std::min<std::size_t>(2, line.size())), 2);
    const int length = static_cast<int>(count) - address_bytes - 1;
    std::string_view fields = line.substr(std::min<std::size_t>(4, line.size()));
    if (fields.ends_with('\n')) {
        fields.remove_suffix(1);
    }
    if (length < 0 || fields.size() < 2 * count) {
        return illegal_line(line);
    }
    const std::string_view data = fields.substr(2 * static_cast<std::size_t>(address_bytes));
    // A data byte that is not two digits would be stored as some other value.
    if (hex_bytes(record.data.data(), data, static_cast<std::size_t>(length)) != static_cast<std::size_t>(length)) {
        return illegal_line(line);
    }
    record.address = hex_value(fields, 2 * static_cast<std::size_t>(address_bytes));
    record.length = length;
    return length;
}

}  // namespace brovald
