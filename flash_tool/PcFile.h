// Loading a file of the PC whole into memory, to be written into the flash file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PcFileResult {
    loaded,
    unreadable,  // does not open, or a read failed (a folder, say)
    too_big,     // larger than the whole flash image: it can never fit
};

PcFileResult load_pc_file(const std::string& name, std::vector<std::uint8_t>& bytes);
