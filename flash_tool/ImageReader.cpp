#include "ImageReader.h"

#include "ImageErrors.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "LineReader.h"
#include "Miscunit.h"
#include "SrecRecord.h"
#include "WorkingCopy.h"
#include "hex_digits.h"
#include "plain_record.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace brovald {

namespace {

// The fallback path of an image name is built in a buffer of this size.
constexpr std::size_t fallback_path_size = 256;

std::FILE* open_image_file(const char* file_name, int& error)
{
    error = 0;
    std::FILE* file = std::fopen(file_name, "rb");
    if (file != nullptr) {
        return file;
    }
    print_log("Error: hexfile_read read Flash file error!! %s\n", file_name);
    char fallback[fallback_path_size];
    if (join_program_dir(fallback, sizeof fallback, image_file_settings.program_path, file_name) < 0) {
        error = image_buffer_too_small;
        return nullptr;
    }
    file = std::fopen(fallback, "rb");
    if (file == nullptr) {
        print_log("Error: hexfile_read read Flash file error!! %s\n", fallback);
        error = image_file_open_error;
    }
    return file;
}

}  // namespace

std::uint32_t file_read_image(std::uint8_t* image, std::uint32_t size)
{
    print_log("Info: file_read_image enter \n");
    std::memset(image, erased_byte, size);
    std::uint32_t total = 0;
    for (const std::string& name : image_file_settings.names) {
        if (name.empty()) {
            break;
        }
        print_log("Info: begin read flash file %s\n", name.c_str());
        const int placed = hexfile_read(name.c_str(), image, size);
        if (placed < 0) {
            print_log("Error: File '%s' not found\n", name.c_str());
            remove_working_copy();
            std::exit(-1);
        }
        total += static_cast<std::uint32_t>(placed);
    }
    swap_bytes(image, size, image_file_settings.swap_width);
    return total;
}

int hexfile_read(const char* file_name, std::uint8_t* image, std::uint32_t size)
{
    int error = 0;
    std::FILE* file = open_image_file(file_name, error);
    if (file == nullptr) {
        return error;
    }
    const int placed = srec_read_stream(file, image, size);
    std::fclose(file);
    return placed;
}

int srec_read_stream(std::FILE* file, std::uint8_t* image, std::uint32_t size)
{
    // The reader loop. Lines are decoded where they lie in the line reader's block. A plain data
    // record, nearly every line of an image, ends where its count says, so it needs no search
    // for its line end, and when it lies inside the image its digits go straight into it (a
    // bad digit leaves the image as it was). Any other line, also one the block holds only part
    // of, comes whole from the line reader and goes through the general rules.
    LineReader reader(file);
    SrecRecord record;
    std::string_view line;
    std::uint32_t placed = 0;
    for (;;) {
        const PlainLine plain = srec_plain_line(reader.unread());
        const std::uint32_t plain_offset = plain.address - handset_base_address;
        if (plain.length >= 0 && plain_offset < size &&
            static_cast<std::uint32_t>(plain.length) <= size - plain_offset &&
            hex_decode(plain.data, static_cast<std::size_t>(plain.length), image + plain_offset)) {
            reader.skip(plain.size);
            placed += static_cast<std::uint32_t>(plain.length);
            continue;
        }
        if (!reader.next(line)) {
            break;
        }
        const int length = srec_read_line(line, record);
        if (length == 0) {
            continue;
        }
        const std::uint32_t offset = record.address - handset_base_address;
        if (offset >= size) {
            std::fprintf(image_diagnostics(), "Address too big: 0x%08X\n", offset);
            return image_address_out_of_range;
        }
        // Bytes that run past the end of the image are not part of it and are not stored, but
        // the record still counts whole, as every data byte read from the file does.
        const std::uint32_t inside = std::min(static_cast<std::uint32_t>(length), size - offset);
        std::memcpy(image + offset, record.data.data(), inside);
        placed += static_cast<std::uint32_t>(length);
    }
    return reader.failed() ? image_file_read_error : static_cast<int>(placed);
}

void swap_bytes(std::uint8_t* buffer, std::size_t length, int width)
{
    if (width == 2) {
        for (std::size_t at = 0; at + 2 <= length; at += 2) {
            std::swap(buffer[at], buffer[at + 1]);
        }
    } else if (width == 4) {
        for (std::size_t at = 0; at + 4 <= length; at += 4) {
            std::reverse(buffer + at, buffer + at + 4);
        }
    }
}

int join_program_dir(char* buffer, std::size_t buffer_size, std::string_view program_path, std::string_view name)
{
    const std::size_t folder_length = dir_prefix_length(program_path);
    if (folder_length + name.size() + 1 > buffer_size) {
        return image_buffer_too_small;
    }
    std::memcpy(buffer, program_path.data(), folder_length);
    std::memcpy(buffer + folder_length, name.data(), name.size());
    buffer[folder_length + name.size()] = '\0';
    return static_cast<int>(folder_length + name.size());
}

std::size_t dir_prefix_length(std::string_view path)
{
    const std::size_t last = path.find_last_of("/\\");
    return last == std::string_view::npos ? 0 : last + 1;
}

}  // namespace brovald
