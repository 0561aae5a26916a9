// Result codes of the image-file layer (their texts come from image_error_name).
#pragma once

namespace brovald {

inline constexpr int image_file_open_error = -50;
inline constexpr int image_file_read_error = -53;
inline constexpr int image_file_write_error = -54;
inline constexpr int image_address_out_of_range = -57;
inline constexpr int image_buffer_too_small = -86;

}  // namespace brovald
