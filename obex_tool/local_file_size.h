// The size of a local file asked before it is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zarnik {

// The size of the regular file at path (a name in the system code page); nullopt when path
// names no regular file or its size cannot be asked (reading it is then the only way to know).
std::optional<std::uint64_t> regular_file_size(const std::string& path);

}  // namespace zarnik
