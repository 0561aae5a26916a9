// Image files come from outside: every byte sequence must be read without touching memory
// outside the image and the record, and with a defined result.
#include "ImageErrors.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "SrecRecord.h"

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
    std::uint8_t bytes[300];
    const std::size_t n = size > 0 ? data[0] : 0;
    if (hex_bytes(bytes, text, n) > n) {
        __builtin_trap();
    }
    (void)hex_value(text, n);
    return 0;
}
