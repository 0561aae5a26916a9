#include "Strfunction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TextField, FieldsOfAPathWithLeadingSeparator)
{
    EXPECT_EQ(text_field("/a/b", "/", 0), "");
    EXPECT_EQ(text_field("/a/b", "/", 1), "a");
    EXPECT_EQ(text_field("/a/b", "/", 2), "b");
    EXPECT_EQ(text_field("/a/b", "/", 7), "b") << "past the end gives the last field";
    EXPECT_EQ(text_field("/a/b", "/", -3), "") << "negative behaves as 0";
}

TEST(TextField, TextWithoutSeparatorIsOneField)
{
    EXPECT_EQ(text_field("abc", "/", 0), "abc");
    EXPECT_EQ(text_field("abc", "/", 1), "abc");
    EXPECT_EQ(text_field("a/b/c", "/", 1), "b");
    EXPECT_EQ(text_field("", "/", 2), "");
}

TEST(TextField, MultiCharacterSeparatorKeepsItsDeletionRule)
{
    EXPECT_EQ(text_field("a::b::c", "::", 1), "b");
    EXPECT_EQ(text_field("a::b::c", "::", 2), "c");
    // With no separator left each further step deletes separator length - 1 characters.
    EXPECT_EQ(text_field("a::bcd", "::", 2), "cd");
    EXPECT_EQ(text_field("a::bcd", "::", 9), "");
}

TEST(TextField, EmptySeparatorNeverSplits)
{
    EXPECT_EQ(text_field("a/b", "", 0), "a/b");
    EXPECT_EQ(text_field("a/b", "", 3), "a/b");
    EXPECT_EQ(text_field_count("a/b", ""), 1);
}

TEST(TextFieldCount, CountsSeparatorsPlusOne)
{
    EXPECT_EQ(text_field_count("", "/"), 0);
    EXPECT_EQ(text_field_count("/", "/"), 2);
    EXPECT_EQ(text_field_count("a/b/c", "/"), 3);
    EXPECT_EQ(text_field_count("/a/b", "/"), 3);
    EXPECT_EQ(text_field_count("a/", "/"), 2);
    EXPECT_EQ(text_field_count("abc", "/"), 1);
    EXPECT_EQ(text_field_count("a\\b\\c\\d", "\\"), 4);
}

TEST(TextSplit, KeepsOnlyNonEmptyFieldsAndCutsTrimLength)
{
    std::vector<std::string> list{"stale"};
    text_split("/a//b/", "/", list, "");
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));

    text_split("", "/", list, "");
    EXPECT_TRUE(list.empty());

    // The trim text is not compared, only its length counts.
    text_split("xab/yc/z", "/", list, "q");
    EXPECT_EQ(list, (std::vector<std::string>{"ab", "c"}));
}

// The split walks from field to field; each must still be the field text_field gives.
TEST(TextSplit, EveryFieldIsTheOneTextFieldGives)
{
    const std::string texts[] = {"a/b//c/", "//x", "abc", "", "/", "a::b:c::::d:", "::", "x:::y", "ab/cd/ef/gh"};
    const std::string separators[] = {"/", "::", ":", "b/"};
    for (const std::string& text : texts) {
        for (const std::string& separator : separators) {
            for (const std::string trim : {"", "q", "qqq"}) {
                std::vector<std::string> expected;
                for (int i = 0; i < text_field_count(text, separator); ++i) {
                    std::string field = text_field(text, separator, i);
                    field.erase(0, std::min(trim.size(), field.size()));
                    if (!field.empty())
                        expected.push_back(field);
                }
                std::vector<std::string> list{"stale"};
                text_split(text, separator, list, trim);
                EXPECT_EQ(list, expected) << "'" << text << "' at '" << separator << "', trim " << trim.size();
            }
        }
    }
}

TEST(Utf16ToUtf8, EncodesOneTwoAndThreeByteUnits)
{
    const char16_t units[] = {0x41, 0xE9, 0x20AC, 0};
    char bytes[16];
    EXPECT_EQ(utf16_to_utf8(units, bytes, sizeof bytes), 6u);
    EXPECT_EQ(std::string(bytes, 7), std::string("\x41\xC3\xA9\xE2\x82\xAC\0", 7));
    EXPECT_EQ(utf16_to_utf8(std::u16string_view(units)), "\x41\xC3\xA9\xE2\x82\xAC");
}

// Each length on both sides of its boundary, and back.
TEST(Utf16ToUtf8, UnitsAtTheEdgesOfEachLength)
{
    const std::pair<char16_t, std::string> cases[] = {
        {0x007F, "\x7F"},         {0x0080, "\xC2\x80"},     {0x07FF, "\xDF\xBF"},
        {0x0800, "\xE0\xA0\x80"}, {0xFFFF, "\xEF\xBF\xBF"},
    };
    for (const auto& [unit, encoded] : cases) {
        EXPECT_EQ(utf16_to_utf8(std::u16string(1, unit)), encoded) << std::hex << static_cast<int>(unit);
        char bytes[8];
        const char16_t units[] = {unit, 0};
        EXPECT_EQ(utf16_to_utf8(units, bytes, sizeof bytes), encoded.size()) << std::hex << static_cast<int>(unit);
        EXPECT_EQ(utf8_to_utf16(encoded), std::u16string(1, unit)) << std::hex << static_cast<int>(unit);
    }
}

TEST(Utf16ToUtf8, SurrogatesAreEncodedOneUnitAtATime)
{
    const std::u16string pair = {0xD83D, 0xDE00};
    EXPECT_EQ(utf16_to_utf8(pair), "\xED\xA0\xBD\xED\xB8\x80");
}

TEST(Utf16ToUtf8, NeverWritesPastCapacity)
{
    const char16_t units[] = {0x41, 0x20AC, 0x42, 0};
    char bytes[8];
    std::fill(std::begin(bytes), std::end(bytes), '#');
    // Room for 'A' and the terminator only: the three-byte unit does not fit and ends the text.
    EXPECT_EQ(utf16_to_utf8(units, bytes, 3), 1u);
    EXPECT_EQ(bytes[0], 'A');
    EXPECT_EQ(bytes[1], '\0');
    EXPECT_EQ(bytes[2], '#');
    EXPECT_EQ(utf16_to_utf8(units, bytes, 0), 0u);
    EXPECT_EQ(bytes[0], 'A');

    // A character that exactly fills the buffer leaves no room for the terminator: it is left out.
    for (std::size_t capacity = 1; capacity <= 6; ++capacity) {
        std::fill(std::begin(bytes), std::end(bytes), '#');
        const char16_t two[] = {0xE9, 0xE9, 0};  // two bytes each
        const std::size_t written = utf16_to_utf8(two, bytes, capacity);
        EXPECT_EQ(written, (capacity - 1) / 2 * 2) << capacity;
        EXPECT_EQ(bytes[written], '\0') << capacity;
        EXPECT_EQ(bytes[capacity], '#') << "written past a capacity of " << capacity;
    }
}

TEST(Utf8ToUtf16, DecodesBackAndStopsAtInvalidLeads)
{
    const char bytes[] = "\x41\xC3\xA9\xE2\x82\xAC";
    char16_t units[8];
    EXPECT_EQ(utf8_to_utf16(bytes, units, 8), 3u);
    EXPECT_EQ(std::u16string(units), (std::u16string{0x41, 0xE9, 0x20AC}));

    EXPECT_EQ(utf8_to_utf16(std::string_view("ab\xF0\x9F\x98\x80"
                                             "cd")),
              u"ab");
    EXPECT_EQ(utf8_to_utf16(std::string_view("ab\x80"
                                             "cd")),
              u"ab");
    // Continuation bytes are not checked: only their low six bits count.
    EXPECT_EQ(utf8_to_utf16(std::string_view("\xC3\x29")), std::u16string{0xE9});
}

TEST(Utf8ToUtf16, SequenceCutShortByTheTerminatorEndsTheText)
{
    char16_t units[8];
    const char two[] = "a\xC3";
    EXPECT_EQ(utf8_to_utf16(two, units, 8), 1u);
    EXPECT_EQ(units[1], 0);
    const char three[] = "a\xE2\x82";
    EXPECT_EQ(utf8_to_utf16(three, units, 8), 1u);
    EXPECT_EQ(utf8_to_utf16(std::string_view("a\xE2\x82")), u"a");
}

TEST(Utf8ToUtf16, NeverWritesPastCapacity)
{
    char16_t units[4] = {9, 9, 9, 9};
    EXPECT_EQ(utf8_to_utf16("abcdef", units, 3), 2u);
    EXPECT_EQ(units[2], 0);
    EXPECT_EQ(units[3], 9);
    units[1] = 9;
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9", units, 1), 0u) << "room for the terminator only";
    EXPECT_EQ(units[0], 0);
    EXPECT_EQ(units[1], 9);
}

TEST(AppendUtf16, CodePointsBecomeOneUnitOrAPair)
{
    std::u16string units;
    for (const char32_t cp : {U'\x41', U'\xFFFF', U'\x10000', U'\x1F600', U'\x10FFFF', char32_t{0x110000}}) {
        append_utf16(units, cp);
    }
    EXPECT_EQ(units, (std::u16string{u'\x41', u'\xFFFF', u'\xD800', u'\xDC00', u'\xD83D', u'\xDE00', u'\xDBFF',
                                     u'\xDFFF', u'\xFFFD'}));
}

TEST(TextReplaceChar, ReplacesEveryOccurrenceInLongTexts)
{
    EXPECT_EQ(text_replace_char("a\\b\\c", "\\", "/"), "a/b/c");
    const std::string long_text(5000, '\\');
    const std::string replaced = text_replace_char(long_text, "\\", "/");
    EXPECT_EQ(replaced, std::string(5000, '/'));
    EXPECT_EQ(text_replace_char("a.b", "", "/"), "a.b");
    EXPECT_EQ(text_replace_char("a.b", ".x", "/y"), "a/b") << "only first characters count";
}

TEST(BytesToHexText, PadsWithBlankAndUsesLowerCase)
{
    const std::uint8_t bytes[] = {0x01, 0xAB, 0x00, 0x10};
    EXPECT_EQ(bytes_to_hex_text(bytes, 2), " 1 ab ");
    EXPECT_EQ(bytes_to_hex_text(bytes + 2, 2), " 0 10 ");
    EXPECT_EQ(bytes_to_hex_text(bytes, 0), "");
}
