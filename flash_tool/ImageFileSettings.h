// Which image files the reader takes, and how the writer writes the image back.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace brovald {

struct ImageFileSettings {
    // Files to read, in order; the list ends at the first empty slot. Slot 0 is also the file
    // the writer rewrites.
    std::array<std::string, 8> names;
    // Unit of the byte swap between file order and memory order, in bytes.
    std::int8_t swap_width = 2;
    // Output format: 'm' and 'S' both mean S-records with header and termination records.
    char format = 'm';
    // Argument 0 of the program: an image name that does not open is tried in its folder.
    std::string program_path;
};

// The one settings record of the run, filled by the command line.
extern ImageFileSettings image_file_settings;

// One stretch of the image to write back: a start offset and a length, ended by length 0.
struct WriteRange {
    std::uint32_t start;
    std::uint32_t length;
};

}  // namespace brovald
