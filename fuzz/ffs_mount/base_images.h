// The images the mount fuzzer starts from: formatted trees and interrupted states laid out by
// the fixture builder. A fuzz input patches one of them (or is a whole image itself).
#pragma once

#include <cstdint>
#include <vector>

namespace ffs_fuzz {

const std::vector<std::vector<std::uint8_t>>& base_images();

}  // namespace ffs_fuzz
