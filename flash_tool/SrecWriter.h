// Writes the working copy back as an S-record file: a header record, one data record per 32
// bytes, a termination record. The image file is rewritten through a temporary file and a
// rename, so it holds either the old image or the whole new one.
#pragma once

#include "ImageFileSettings.h"

#include <cstdint>
#include <span>

namespace brovald {

// Writes the ranges of image (until the first of length 0) to the file in slot 0 of
// image_file_settings, with 32-bit addresses. Returns the sum of the lengths written, 0 when
// there is no output name, image_file_open_error when the file cannot be rewritten, or
// image_file_write_error when writing it failed (the file is then unchanged).
int file_write_image(std::uint8_t* image, std::uint32_t size, std::span<const WriteRange> ranges);

// Starts the output file. For the S-record formats ('m', 'S') the image is first swapped back
// into file order and the header record written. Returns 0 or image_file_open_error.
int srec_open(const char* file_name, char format, std::uint8_t* image, std::uint32_t size);

// Writes length bytes as records of at most 32 data bytes, the first at image offset start.
// Returns length.
std::uint32_t srec_write_range(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t start, int width,
                               char format);

// Writes one data record of count bytes for image offset offset: S1, S2 or S3 for widths 16,
// 24 and 32 (any other width writes S3). The checksum covers the count byte, all four bytes of
// the handset address and the data.
void srec_write_line(const std::uint8_t* bytes, int count, std::uint32_t offset, int width);

// Ends the output: the termination record for the width (S-record formats), then the file takes
// the place of the old one. Returns 0, or image_file_write_error when anything failed to reach
// the file; the old file is then left as it was.
int srec_close(char format, int width);

}  // namespace brovald
