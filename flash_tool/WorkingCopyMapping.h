// The platform half of the working copy: a named shared mapping of a temporary file, or of
// anonymous memory when the file cannot be created. One mapping at a time; the platform file
// keeps its handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brovald {

enum class MappingState {
    mapped,
    // Another live run holds a mapping of the same name; nothing was mapped.
    name_in_use,
    failed,
};

struct MappingResult {
    bool file_created = false;
    MappingState state = MappingState::failed;
    std::uint8_t* view = nullptr;
};

// Deletes any stale file of that name, creates it anew and maps mapping_size bytes of it,
// shared and writable. The first used_size bytes are backed by storage reserved up front, so
// that a full disk shows here and not as a fault when the image is written.
MappingResult map_working_copy(const std::string& name, std::size_t mapping_size, std::size_t used_size);

// Unmaps what map_working_copy made, closes its file and deletes it if it is still ours.
void unmap_working_copy(const std::string& name);

}  // namespace brovald
