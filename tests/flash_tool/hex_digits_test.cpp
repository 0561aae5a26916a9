// The bulk digit conversions work 16 digits at a time with a plain tail: every length crosses
// that seam somewhere, and the character classes are checked at the edges of each range.
#include "hex_digits.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace brovald;

namespace {

std::string printf_digits(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

// Every byte value, each at a different position from one length to the next.
std::vector<std::uint8_t> bytes_of_length(std::size_t length)
{
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37 + length);
    }
    return bytes;
}

}  // namespace

TEST(HexDigits, EncodeWritesPrintfDigitsAndTheSumAtEveryLength)
{
    for (std::size_t length = 0; length <= 300; ++length) {
        const std::vector<std::uint8_t> bytes = bytes_of_length(length);
        std::string out(2 * length + 1, '#');
        unsigned sum = 0;
        for (std::uint8_t byte : bytes) {
            sum += byte;
        }
        EXPECT_EQ(hex_encode(bytes.data(), length, out.data()), sum % 256) << length;
        EXPECT_EQ(out, printf_digits(bytes) + "#") << "nothing written past the digits, length " << length;
    }
}

TEST(HexDigits, DecodeReadsBothCasesAtEveryLength)
{
    for (std::size_t length = 0; length <= 300; ++length) {
        const std::vector<std::uint8_t> bytes = bytes_of_length(length);
        std::string text = printf_digits(bytes);
        for (int lower_case = 0; lower_case < 2; ++lower_case) {
            std::vector<std::uint8_t> out(length + 1, 0xA5);
            ASSERT_TRUE(hex_decode(text.data(), length, out.data())) << text;
            EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), bytes);
            EXPECT_EQ(out[length], 0xA5) << "nothing written past the bytes, length " << length;
            for (char& c : text) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
    }
}

TEST(HexDigits, DecodeRefusesEveryOtherCharacterWhereverItStands)
{
    // Every character that is no digit, at every position of texts long enough for the 16-digit
    // steps and the tail: the neighbours of each digit range and their high-bit twins above all.
    std::vector<char> others;
    for (int c = 0; c < 256; ++c) {
        if (hex_digit_value(static_cast<char>(c)) < 0) {
            others.push_back(static_cast<char>(c));
        }
    }
    ASSERT_EQ(others.size(), 256u - 22u);
    const std::string good = printf_digits(bytes_of_length(20));
    const std::vector<std::uint8_t> before(20, 0xA5);
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (char other : others) {
            std::string text = good;
            text[at] = other;
            std::vector<std::uint8_t> out = before;
            EXPECT_FALSE(hex_decode(text.data(), 20, out.data()))
                << "character " << static_cast<int>(static_cast<unsigned char>(other)) << " at " << at;
            EXPECT_EQ(out, before) << "nothing written when a character is no digit";
        }
    }
}
