// Loading a file of the PC into memory, to be written into the flash file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brovald {

// Loads the file whole, or only its first limit bytes when it is longer: a caller that cannot use
// more than that learns that the file is larger without holding a file of any size in memory.
// False when the file does not open or a read fails (a folder, say).
bool load_pc_file(const std::string& name, std::vector<std::uint8_t>& bytes, std::size_t limit);

}  // namespace brovald
