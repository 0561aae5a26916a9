// Fills the working copy with the flash image held in S-record files.
//
// Unwritten bytes read as erased flash (0xFF); a record at handset address A lands at image
// offset A - 0x01400000 (unsigned 32-bit arithmetic, so addresses below the base wrap to huge
// offsets and are refused). Once every file is read, the image is byte-swapped into the order
// the flash file system works in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace brovald {

// Reads every file named in image_file_settings into image and returns the number of data bytes
// placed. Does not return on failure: it logs "Error: File '%s' not found\n", removes the
// working copy and ends the process with status -1.
std::uint32_t file_read_image(std::uint8_t* image, std::uint32_t size);

// Reads one S-record file into image, trying the program's folder when the name does not open.
// Returns the number of data bytes its records carry (a record that runs past the image's end
// counts whole, though only its bytes inside are stored), or image_file_open_error,
// image_file_read_error, image_address_out_of_range or image_buffer_too_small.
int hexfile_read(const char* file_name, std::uint8_t* image, std::uint32_t size);

// The records of an open stream placed into image, as hexfile_read does after opening.
int srec_read_stream(std::FILE* file, std::uint8_t* image, std::uint32_t size);

// Exchanges the bytes of every whole unit of width bytes (2: pairwise, 4: reversed); any other
// width changes nothing. Applying it twice gives the original order back.
void swap_bytes(std::uint8_t* buffer, std::size_t length, int width);

// Writes the folder part of program_path followed by name into buffer, zero-terminated.
// Returns the length of the built path, or image_buffer_too_small when it does not fit.
int join_program_dir(char* buffer, std::size_t buffer_size, std::string_view program_path, std::string_view name);

// Length of the folder part of path: the position just after its last "/" or "\", or 0.
std::size_t dir_prefix_length(std::string_view path);

}  // namespace brovald
