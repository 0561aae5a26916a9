#include "SrecRecord.h"

#include "hex_digits.h"
#include "plain_record.h"

#include <algorithm>

namespace brovald {

namespace {

// Decodes a plain record into record; false, with the record's type, address and length
// untouched, when a data character is no digit.
bool decode_plain_record(const PlainRecord& plain, SrecRecord& record)
{
    if (plain.length < 0 || !hex_decode(plain.data, static_cast<std::size_t>(plain.length), record.data.data())) {
        return false;
    }
    record.type = plain.type;
    record.address = plain.address;
    record.length = plain.length;
    return true;
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
    if (const PlainRecord plain = find_plain_record(line); decode_plain_record(plain, record)) {
        return plain.length;
    }
    // A line is text: it ends at a NUL byte, and so does the warning that quotes it.
    line = line.substr(0, line.find('\0'));
    // The first character is not examined: only the type digit tells records apart.
    record.type = line.size() > 1 ? line[1] - '0' : -'0';
    record.length = 0;
    const int address_bytes = srec_address_bytes(record.type);
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
