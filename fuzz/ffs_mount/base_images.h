// The images the mount fuzzer starts from: the named images of the fixture builder (the sample
// tree in a few layouts and its interrupted states). A fuzz input patches one of them.
#pragma once

#include <cstdint>
#include <vector>

namespace ffs_fuzz {

const std::vector<std::vector<std::uint8_t>>& base_images();

}  // namespace ffs_fuzz
