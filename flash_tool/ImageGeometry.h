// Geometry of the handset's flash image, shared by the image layer and the flash file system.
//
// The image is 4 MiB; its offset 0 is handset address 0x01400000. Erased flash reads 0xFF. In
// memory every 16-bit unit holds its two bytes exchanged with respect to the S-record file,
// because that is the order the flash file system works in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brovald {

inline constexpr std::uint32_t image_size = 0x400000;
inline constexpr std::uint32_t handset_base_address = 0x01400000;
inline constexpr std::uint8_t erased_byte = 0xFF;

// The working copy maps far more than the image; only its first image_size bytes are used.
inline constexpr std::size_t working_copy_mapping_size = 0x2A00000;

}  // namespace brovald
