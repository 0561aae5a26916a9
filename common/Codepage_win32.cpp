// Code page layer on Windows: the ANSI code page through MultiByteToWideChar/WideCharToMultiByte.
#include "Codepage.h"

#include <windows.h>

void codepage_init() {}

std::u16string codepage_to_utf16(std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::u16string(text.size(), u'\xFFFD');
    }
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()), needed);
    return out;
}

std::string utf16_to_codepage(std::u16string_view units)
{
    if (units.empty()) {
        return {};
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
    const int length = static_cast<int>(units.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::string(units.size(), '?');
    }
    std::string out(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, out.data(), needed, nullptr, nullptr);
    return out;
}
