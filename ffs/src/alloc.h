// Data space and inode slot allocation. Data addresses are byte offsets from the start of the
// area; 0 means no space (offset 0 is block 0's header, never handed out).
#pragma once

#include <cstdint>

namespace flashfs {

std::uint32_t data_alloc(std::int32_t size);
std::uint32_t data_alloc_try(std::int32_t size);
std::uint32_t data_alloc_reserved(std::int32_t size);  // the journal's space
int inode_alloc();
int inode_alloc_try();

}  // namespace flashfs
