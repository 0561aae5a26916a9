// Decoding of one Motorola S-record line.
//
// A data record is "S" type count address data checksum, all in hexadecimal digit pairs; the
// count covers the address, data and checksum bytes. Types 1, 2 and 3 carry 2-, 3- and 4-byte
// addresses; types 0, 7, 8 and 9 (header and termination) place nothing. Checksums are not
// verified: the images this tool edits are trusted for that, and the data length comes from
// the count, so text after the checksum is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace brovald {

struct SrecRecord {
    int type = 0;
    std::uint32_t address = 0;
    int length = 0;
    // A count of 255 with a 2-byte address leaves 252 data bytes, the most a record can carry.
    std::array<std::uint8_t, 252> data{};
};

// Decodes line (its line end may still be attached; a NUL ends it) into record and returns the
// number of data bytes, 0 for a line that places nothing. A line of an unknown type, or a data
// record whose count claims more characters than the line holds or fewer bytes than its address
// and checksum take, or whose data are not all digit pairs, is reported as
// "WARNING: Illegal hex line: %s\n" and gives 0. The address is read as hex_value reads it.
int srec_read_line(std::string_view line, SrecRecord& record);

// The number written by up to n hexadecimal digits (either case) at the start of text; reading
// stops early at the end of text or at the first character that is no digit.
std::uint32_t hex_value(std::string_view text, std::size_t n);

// Converts up to n digit pairs at the start of text into bytes; stops at the end of text or at
// the first pair that is not two hexadecimal digits. Returns the number of bytes written.
std::size_t hex_bytes(std::uint8_t* destination, std::string_view text, std::size_t n);

// Where the reader's warnings go: standard error unless a caller (such as a fuzzer) redirects
// them. Passing nullptr restores standard error.
void set_image_diagnostics(std::FILE* stream);
std::FILE* image_diagnostics();

}  // namespace brovald
