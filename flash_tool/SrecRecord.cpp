#include "SrecRecord.h"

#include <algorithm>

namespace brovald {

namespace {

constexpr std::array<std::int8_t, 256> make_digit_values()
{
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int c = '0'; c <= '9'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
        values[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<std::int8_t>(c - 'A' + 10);
    }
    return values;
}

constexpr std::array<std::int8_t, 256> digit_values = make_digit_values();

int digit_value(char c)
{
    return digit_values[static_cast<unsigned char>(c)];
}

// The byte written by every pair of characters, -1 for a pair that is not two digits: one look-up
// per byte is what keeps a 10 MB image quick to read.
std::array<std::int16_t, 65536> make_pair_values()
{
    std::array<std::int16_t, 65536> values{};
    for (std::size_t high = 0; high < 256; ++high) {
        for (std::size_t low = 0; low < 256; ++low) {
            const int h = digit_values[high];
            const int l = digit_values[low];
            values[high << 8 | low] = static_cast<std::int16_t>(h < 0 || l < 0 ? -1 : h * 16 + l);
        }
    }
    return values;
}

const std::array<std::int16_t, 65536> pair_values = make_pair_values();

int pair_value(const char* pair)
{
    return pair_values[static_cast<std::size_t>(static_cast<unsigned char>(pair[0])) << 8 |
                       static_cast<unsigned char>(pair[1])];
}

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
        const int digit = digit_value(text[i]);
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
    int any_bad = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        const int value = pair_value(text.data() + 2 * i);
        any_bad |= value;
        destination[i] = static_cast<std::uint8_t>(value);
    }
    if (any_bad >= 0) {
        return pairs;
    }
    std::size_t good = 0;
    while (pair_value(text.data() + 2 * good) >= 0) {
        ++good;
    }
    return good;
}

int srec_read_line(std::string_view line, SrecRecord& record)
{
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
