// Internal parts of the file operations: writing a descriptor's buffer out, and segments.
#pragma once

#include <cstdint>

namespace flashfs {

// Writes the buffer of descriptor record `index` out as one object: 0 or an error (the
// descriptor then stays dirty with its buffer intact).
int datasync(int index);

// A new segment in the open transaction. link_request: +p: child of p's last segment;
// -s: sibling of segment s (it replaces s).
int segment_create(const std::uint8_t* data, std::int32_t length, int link_request);

}  // namespace flashfs
