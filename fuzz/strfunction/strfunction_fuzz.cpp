// Names read back from flash and paths from the command line go through these helpers.
#include "Strfunction.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Zero-terminated decoding into a small fixed buffer, then back.
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back(0);
    char16_t units[64];
    utf8_to_utf16(bytes.data(), units, sizeof units / sizeof units[0]);
    char back[96];
    utf16_to_utf8(units, back, sizeof back);
    if (std::strlen(back) >= sizeof back) {
        __builtin_trap();
    }

    const std::u16string decoded = utf8_to_utf16(text);
    (void)utf16_to_utf8(decoded);

    const std::string separator = size > 0 ? text.substr(0, 1 + data[0] % 2) : "/";
    const int count = text_field_count(text, separator);
    for (int i = -1; i <= count + 1 && i < 64; ++i) {
        (void)text_field(text, separator, i);
    }
    std::vector<std::string> list;
    text_split(text, separator, list, size > 1 ? text.substr(1, 1) : "");
    (void)text_replace_char(text, separator, "/");
    (void)bytes_to_hex_text(data, size);
    return 0;
}
