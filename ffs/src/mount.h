// Mount and its consistency checks.
#pragma once

#include <cstdint>

namespace flashfs {

// Negative error, or 1 + the index of a block found CLEANING (0 when none).
int blocks_fsck();
// 0, FFS_E_NOFORMAT when there is no root, FFS_E_CORRUPTED for an inode that points outside
// its block or has a name without an end.
int inodes_fsck();

}  // namespace flashfs
