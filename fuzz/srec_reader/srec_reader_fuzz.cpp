// Image files come from outside: every byte sequence must be read without touching memory
// outside the image and the record, and with a defined result.
#include "ImageErrors.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "SrecRecord.h"
#include "hex_digits.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

using namespace brovald;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Illegal-line warnings would flood the fuzzer's own output.
    set_image_diagnostics(std::fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::vector<std::uint8_t> image(image_size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The whole input as a file.
    if (std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb")) {
        const int placed = srec_read_stream(file, image.data(), image_size);
        std::fclose(file);
        // Every byte placed took two digits of the input.
        if (2 * static_cast<std::size_t>(placed > 0 ? placed : 0) > size ||
            (placed < 0 && placed != image_address_out_of_range && placed != image_file_read_error)) {
            __builtin_trap();
        }
    }

    // The whole input as one line, and the hexadecimal helpers with counts past its end.
    SrecRecord record;
    const int length = srec_read_line(text, record);
    if (length < 0 || length > static_cast<int>(record.data.size())) {
        __builtin_trap();
    }
    // A record read holds the values of its digit pairs, read one at a time.
    const int address_bytes = record.type + 1;
    for (int i = 0; i < length; ++i) {
        const std::size_t at = 4 + 2 * static_cast<std::size_t>(address_bytes + i);
        if (text.size() < at + 2 || record.data[static_cast<std::size_t>(i)] != hex_value(text.substr(at), 2) ||
            hex_digit_value(text[at]) < 0 || hex_digit_value(text[at + 1]) < 0) {
            __builtin_trap();
        }
    }
    std::uint8_t bytes[300];
    const std::size_t n = size > 0 ? data[0] : 0;
    if (hex_bytes(bytes, text, n) > n) {
        __builtin_trap();
    }
    (void)hex_value(text, n);

    // The bulk conversion agrees with reading the pairs one at a time.
    static std::vector<std::uint8_t> decoded;
    decoded.resize(size / 2);
    bool all_digits = true;
    for (std::size_t i = 0; i < size; ++i) {
        all_digits = all_digits && (i >= size / 2 * 2 || hex_digit_value(text[i]) >= 0);
    }
    if (hex_decode(text.data(), size / 2, decoded.data()) != all_digits) {
        __builtin_trap();
    }
    for (std::size_t i = 0; all_digits && i < size / 2; ++i) {
        if (decoded[i] != hex_value(text.substr(2 * i), 2)) {
            __builtin_trap();
        }
    }
    return 0;
}
