// Hexadecimal digits to bytes and back, for the S-record reader and writer.
//
// A 4 MiB image is 8 million digits each way, so the bulk conversions work on 16 digits (8
// bytes) at a time with the compiler's vector types: one code path that becomes SIMD
// instructions where the target has them and plain word operations where it does not. Vectors
// stay inside these functions; none is passed or returned, which would tie the calling
// convention to the instruction set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brovald {

namespace hex_digits_detail {

using Bytes8 = std::uint8_t __attribute__((vector_size(8)));
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));
using SignedBytes16 = std::int8_t __attribute__((vector_size(16)));
using Halfwords8 = std::uint16_t __attribute__((vector_size(16)));
using Words2 = std::uint64_t __attribute__((vector_size(16)));

constexpr std::array<std::int8_t, 256> make_digit_values()
{
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int c = '0'; c <= '9'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
        values[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<std::int8_t>(c - 'A' + 10);
    }
    return values;
}

inline constexpr std::array<std::int8_t, 256> digit_values = make_digit_values();

// Both upper-case digits of every byte.
constexpr std::array<std::array<char, 2>, 256> make_digit_pairs()
{
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        pairs[byte] = {digits[byte >> 4], digits[byte & 0x0F]};
    }
    return pairs;
}

inline constexpr std::array<std::array<char, 2>, 256> digit_pairs = make_digit_pairs();

}  // namespace hex_digits_detail

// The value of a hexadecimal digit of either case, -1 for any other character.
inline int hex_digit_value(char c)
{
    return hex_digits_detail::digit_values[static_cast<unsigned char>(c)];
}

// Converts pairs digit pairs at text (either case, high digit first) into bytes at out. True
// when every character is a digit. Every character is checked before any byte is written, so
// when one is no digit the result is false and out is left as it was: a caller may decode
// straight into memory that a bad record must not change.
inline bool hex_decode(const char* text, std::size_t pairs, std::uint8_t* out)
{
    using namespace hex_digits_detail;
    const std::size_t steps = pairs / 8;
    Bytes16 bad{};
    for (std::size_t step = 0; step < steps; ++step) {
        // Shifted (wrapping, so on unsigned bytes) so that the digits '0'-'9' and the letters
        // 'a'-'f' (upper case folded in) start at the smallest signed byte: each class is then
        // one signed comparison, which every vector instruction set has, and no other character
        // falls into either.
        Bytes16 c;
        std::memcpy(&c, text + 16 * step, sizeof c);
        const auto digit = (SignedBytes16)(c + (0x80 - '0'));
        const auto letter = (SignedBytes16)((c | 0x20) + (0x80 - 'a'));
        bad |= ~(Bytes16)((digit < -0x80 + 10) | (letter < -0x80 + 6));
    }
    int bad_tail = 0;
    for (std::size_t i = 8 * steps; i < pairs; ++i) {
        bad_tail |= hex_digit_value(text[2 * i]) | hex_digit_value(text[2 * i + 1]);
    }
    const auto bad_words = (Words2)bad;
    if ((bad_words[0] | bad_words[1]) != 0 || bad_tail < 0) {
        return false;
    }

    for (std::size_t step = 0; step < steps; ++step) {
        Bytes16 c;
        std::memcpy(&c, text + 16 * step, sizeof c);
        // The low four bits of a digit are its value, of a letter its value - 9.
        const Bytes16 nibbles = (c + ((Bytes16)((SignedBytes16)c > '9') & 9)) & 0x0F;
        // Each 16-bit lane holds a pair: its high digit in the low byte, its low digit above.
        const auto lanes = (Halfwords8)nibbles;
        const Halfwords8 values = (lanes & 0xFF) << 4 | lanes >> 8;
        const Bytes8 bytes = __builtin_convertvector(values, Bytes8);
        std::memcpy(out + 8 * step, &bytes, sizeof bytes);
    }
    for (std::size_t i = 8 * steps; i < pairs; ++i) {
        out[i] = static_cast<std::uint8_t>(hex_digit_value(text[2 * i]) << 4 | hex_digit_value(text[2 * i + 1]));
    }
    return true;
}

// Writes count bytes as upper-case digit pairs, as printf's "%02X" writes each, and returns the
// sum of the bytes modulo 256, which is what a record checksum is made from.
inline std::uint8_t hex_encode(const std::uint8_t* bytes, std::size_t count, char* out)
{
    using namespace hex_digits_detail;
    const std::uint8_t* const end = bytes + count;
    Halfwords8 sums{};
    for (; end - bytes >= 16; bytes += 16, out += 32) {
        Bytes16 b;
        std::memcpy(&b, bytes, sizeof b);
        const auto pairs = (Halfwords8)b;
        sums += (pairs & 0xFF) + (pairs >> 8);
        // Signed, the nibbles compare with the instructions every vector set has; digits above 9
        // continue at 'A', 7 characters after '9' + 1.
        auto high = (SignedBytes16)(b >> 4);
        auto low = (SignedBytes16)(b & 0x0F);
        high += '0' + ((high > 9) & 7);
        low += '0' + ((low > 9) & 7);
        const SignedBytes16 first =
            __builtin_shufflevector(high, low, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const SignedBytes16 second =
            __builtin_shufflevector(high, low, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        std::memcpy(out, &first, sizeof first);
        std::memcpy(out + sizeof first, &second, sizeof second);
    }
    unsigned sum = 0;
    for (int lane = 0; lane < 8; ++lane) {
        sum += sums[lane];
    }
    for (; bytes != end; ++bytes, out += 2) {
        std::memcpy(out, digit_pairs[*bytes].data(), 2);
        sum += *bytes;
    }
    return static_cast<std::uint8_t>(sum);
}

}  // namespace brovald
