// Small text operations shared by both console programs: field extraction over a separator,
// character replacement, hexadecimal dumps and UTF-8/UTF-16 conversion.
//
// Texts are 8-bit strings in the system code page. The field operations keep the historical
// rules the programs rely on: positions are counted from 1 internally, asking for a field past
// the end gives the last field, and a missing separator leaves the text whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Field number n (from 0) of text cut at separator. n past the last field gives the last
// field (for a one-character separator); n < 0 behaves as 0.
std::string text_field(std::string_view text, std::string_view separator, int n);

// Number of fields: 0 for the empty text, otherwise the number of separators plus one.
int text_field_count(std::string_view text, std::string_view separator);

// Fills list with the non-empty fields of text. When trim is not empty, as many characters as
// trim has are cut from the start of each field first (they are not compared with trim).
void text_split(std::string_view text, std::string_view separator, std::vector<std::string>& list,
                std::string_view trim);

// Encodes the 16-bit units up to their terminating 0 (or the end of the view), each unit by
// itself (a surrogate pair becomes two three-byte sequences). Never writes more than capacity
// bytes including the terminating zero; a sequence that would not fit ends the output.
// Returns the number of bytes written before the terminator.
std::size_t utf16_to_utf8(const char16_t* units, char* bytes, std::size_t capacity);
std::string utf16_to_utf8(std::u16string_view units);

// Decodes UTF-8 bytes up to their terminating zero. A continuation byte or a four-byte lead
// ends the decoding, as does a sequence cut short by the terminator; continuation bytes are not
// checked beyond that, only their low six bits are used. Never writes more than capacity units
// including the terminating 0. Returns the number of units written before the terminator.
std::size_t utf8_to_utf16(const char* bytes, char16_t* units, std::size_t capacity);
std::u16string utf8_to_utf16(std::string_view bytes);

// Appends one code point as UTF-16: a surrogate pair above U+FFFF, U+FFFD beyond U+10FFFF.
void append_utf16(std::u16string& out, char32_t code_point);

// The text with every occurrence of the first character of from replaced by the first
// character of to. Texts of any length; an empty from or to leaves the text unchanged.
std::string text_replace_char(std::string_view text, std::string_view from, std::string_view to);

// Each byte as "%2x " (lower-case, blank-padded to two characters, then a blank).
std::string bytes_to_hex_text(const std::uint8_t* bytes, std::size_t count);
