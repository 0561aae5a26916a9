// Mount and its consistency checks.
#pragma once

#include <cstdint>

namespace flashfs {

// Negative error, or 1 + the index of a block found CLEANING (0 when none).
int blocks_fsck();
// 0, FFS_E_NOFORMAT when there is no root, FFS_E_CORRUPTED for an inode that points outside
// its block or has a name without an end.
int inodes_fsck();
// Sets the format parameters from their defaults and the root name's list.
void fs_params_parse(const char* root_name);
// Refuses parameters that break the layout's own limits: 0 or FFS_E_BADFORMAT.
int fs_params_check();

}  // namespace flashfs
