// Conversion between the system code page and UTF-16.
//
// The system code page is Windows' ANSI code page on Windows, and the encoding of the current
// locale (LC_CTYPE) elsewhere; a program calls codepage_init() once at start so that the
// locale of the environment is used rather than the "C" locale.
#pragma once

#include <string>
#include <string_view>

void codepage_init();

// Bytes that the code page cannot decode become U+FFFD; the conversion never fails.
std::u16string codepage_to_utf16(std::string_view text);

// Units that the code page cannot represent become '?'; the conversion never fails.
std::string utf16_to_codepage(std::u16string_view units);
