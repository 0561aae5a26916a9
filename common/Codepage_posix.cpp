// Code page layer on POSIX: the locale's multibyte encoding through mbrtowc/wcrtomb.
#include "Codepage.h"

#include "Strfunction.h"

#include <climits>
#include <clocale>
#include <cwchar>

void codepage_init()
{
    std::setlocale(LC_CTYPE, "");
}

namespace {

constexpr char16_t replacement_character = 0xFFFD;

}  // namespace

std::u16string codepage_to_utf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < text.size()) {
        wchar_t wc = 0;
        const std::size_t r = std::mbrtowc(&wc, text.data() + i, text.size() - i, &state);
        if (r == static_cast<std::size_t>(-1) || r == static_cast<std::size_t>(-2)) {
            // Undecodable or cut short: one replacement per byte, then resynchronise.
            out.push_back(replacement_character);
            state = std::mbstate_t{};
            ++i;
            continue;
        }
        if (r == 0) {
            out.push_back(0);
            ++i;
            continue;
        }
        append_utf16(out, static_cast<char32_t>(wc));
        i += r;
    }
    return out;
}

std::string utf16_to_codepage(std::u16string_view units)
{
    std::string out;
    out.reserve(units.size());
    std::mbstate_t state{};
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        char buffer[MB_LEN_MAX];
        const std::size_t r = std::wcrtomb(buffer, static_cast<wchar_t>(cp), &state);
        if (r == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            state = std::mbstate_t{};
            continue;
        }
        out.append(buffer, r);
    }
    return out;
}
