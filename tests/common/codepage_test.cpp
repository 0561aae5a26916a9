#include "Codepage.h"
#include "Strfunction.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

// ASCII is the same in every system code page this kit runs under.
TEST(Codepage, AsciiRoundTripsUnchanged)
{
    codepage_init();
    std::string ascii;
    for (char c = 0x20; c < 0x7F; ++c) {
        ascii.push_back(c);
    }
    const std::u16string units = codepage_to_utf16(ascii);
    ASSERT_EQ(units.size(), ascii.size());
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        EXPECT_EQ(units[i], static_cast<char16_t>(ascii[i]));
    }
    EXPECT_EQ(utf16_to_codepage(units), ascii);
}

// A path written on the PC side reaches the FFS as UTF-8 through the code page and back.
TEST(Codepage, NonAsciiNameRoundTripsThroughUtf8)
{
    codepage_init();
    const std::u16string name = u"caf\u00e9.txt";
    const std::string local = utf16_to_codepage(name);
    ASSERT_EQ(local.find('?'), std::string::npos) << "the test locale must represent U+00E9";
    const std::string utf8 = utf16_to_utf8(codepage_to_utf16(local));
    EXPECT_EQ(utf8, "caf\xC3\xA9.txt");
    EXPECT_EQ(utf16_to_codepage(utf8_to_utf16(utf8)), local);
}

TEST(Codepage, UnrepresentableUnitsBecomeQuestionMarks)
{
    codepage_init();
    // U+E000 is a private-use character that no single-byte code page and no locale maps.
    const std::string text = utf16_to_codepage(u"a\uE000b");
    if (text.size() == 3) {
        EXPECT_EQ(text, "a?b");
    } else {
        // A UTF-8 locale represents every unit.
        EXPECT_EQ(text,
                  "a\xEE\x80\x80"
                  "b");
    }
}

}  // namespace
