#include "SrecWriter.h"

#include "ImageErrors.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "ReplacementFile.h"
#include "hex_digits.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace brovald {

namespace {

constexpr std::uint32_t bytes_per_record = 32;

// Records are formatted into a block of this size and written a block at a time: few system
// calls, and large writes let the system keep the file in large pages. (Measured: 64 KiB blocks
// cost a millisecond more per image, 4 MiB blocks more still.)
constexpr std::size_t block_size = 1024 * 1024;

// Record forms by address width: type digit, address digits, count of address bytes and the
// termination record.
struct RecordForm {
    char type;
    int address_digits;
    int address_bytes;
    const char* termination;
};

constexpr RecordForm form_16{'1', 4, 3, "S9030000FC\n"};
constexpr RecordForm form_24{'2', 6, 4, "S804000000FB\n"};
constexpr RecordForm form_32{'3', 8, 5, "S70500000000FA\n"};

const RecordForm& form_of(int width)
{
    return width == 16 ? form_16 : width == 24 ? form_24 : form_32;
}

bool is_srec_format(char format)
{
    return format == 'm' || format == 'S';
}

constexpr char hex_digits[] = "0123456789ABCDEF";

// Upper-case hexadecimal with at least min_digits digits, as printf's "%0*X" writes it.
char* put_hex(char* out, std::uint32_t value, int min_digits)
{
    int digits = 1;
    while (digits < 8 && (value >> (4 * digits)) != 0) {
        ++digits;
    }
    digits = std::max(digits, min_digits);
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = hex_digits[value & 0xF];
        value >>= 4;
    }
    return out + digits;
}

// The output file and the block the records are formatted into.
struct Output {
    ReplacementFile file;
    std::vector<char> block;
    std::size_t used = 0;

    char* room_for(std::size_t length)
    {
        if (block.size() - used < length) {
            flush();
            block.resize(std::max(block.size(), length));
        }
        return block.data() + used;
    }

    void commit_to(char* end) { used = static_cast<std::size_t>(end - block.data()); }

    void put(const char* text)
    {
        const std::size_t length = std::char_traits<char>::length(text);
        char* out = room_for(length);
        commit_to(std::copy_n(text, length, out));
    }

    void flush()
    {
        file.write(block.data(), used);
        used = 0;
    }
};

Output output;

}  // namespace

int file_write_image(std::uint8_t* image, std::uint32_t size, std::span<const WriteRange> ranges)
{
    const std::string& name = image_file_settings.names[0];
    if (name.empty()) {
        return 0;
    }
    const char format = image_file_settings.format;
    const int opened = srec_open(name.c_str(), format, image, size);
    if (opened < 0) {
        return opened;
    }
    std::uint32_t written = 0;
    for (const WriteRange& range : ranges) {
        if (range.length == 0) {
            break;
        }
        // The bytes come from the start offset folded into the image; a range is cut at the
        // image's end rather than read past it.
        const std::uint32_t at = range.start & (size - 1);
        const std::uint32_t length = std::min(range.length, size - at);
        written += srec_write_range(image + at, length, range.start, 32, format);
    }
    const int closed = srec_close(format, 32);
    return closed < 0 ? closed : static_cast<int>(written);
}

int srec_open(const char* file_name, char format, std::uint8_t* image, std::uint32_t size)
{
    if (!output.file.open(file_name)) {
        return image_file_open_error;
    }
    output.block.resize(block_size);
    output.used = 0;
    if (is_srec_format(format)) {
        swap_bytes(image, size, image_file_settings.swap_width);
        output.put("S0030000FC\n");
    }
    return 0;
}

std::uint32_t srec_write_range(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t start, int width,
                               char /*format*/)
{
    // The writer loop: one record per 32 bytes, formatted straight into the output block with
    // 16 digits at a time and table look-ups rather than a printf call per byte, the checksum
    // taken from the sums of that same pass; the block goes to the file a megabyte at a time, so
    // a 10 MB image costs ten system calls.
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t count = std::min(length - done, bytes_per_record);
        srec_write_line(bytes + done, static_cast<int>(count), start + done, width);
        done += count;
    }
    return length;
}

void srec_write_line(const std::uint8_t* bytes, int count, std::uint32_t offset, int width)
{
    const RecordForm& form = form_of(width);
    const std::uint32_t address = offset + handset_base_address;
    const auto record_count = static_cast<std::uint32_t>(count + form.address_bytes);

    char* out = output.room_for(2 + 8 + 8 + 2 * static_cast<std::size_t>(count) + 2 + 1);
    *out++ = 'S';
    *out++ = form.type;
    // The checksum covers the count byte and all four address bytes, whatever the width shows.
    const std::uint8_t head[] = {static_cast<std::uint8_t>(record_count), static_cast<std::uint8_t>(address >> 24),
                                 static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                                 static_cast<std::uint8_t>(address)};
    std::uint32_t sum = 0;
    if (record_count <= 0xFF && form.address_digits == 8) {
        // Every record the program writes: the count and the address are the digits of these five bytes.
        sum = hex_encode(head, sizeof head, out);
        out += 2 * sizeof head;
    } else {
        out = put_hex(out, record_count, 2);
        out = put_hex(out, address, form.address_digits);
        sum = record_count + head[1] + head[2] + head[3] + head[4];
    }
    sum += hex_encode(bytes, static_cast<std::size_t>(count), out);
    out += 2 * count;
    const auto checksum = static_cast<std::uint8_t>(~sum);
    hex_encode(&checksum, 1, out);
    out += 2;
    *out++ = '\n';
    output.commit_to(out);
}

int srec_close(char format, int width)
{
    if (!output.file.is_open()) {
        return 0;
    }
    if (is_srec_format(format)) {
        output.put(form_of(width).termination);
    }
    output.flush();
    return output.file.commit() ? 0 : image_file_write_error;
}

}  // namespace brovald
