// Inode reclaim: the live tree is copied into a fresh block with its slot numbers unchanged and
// the deleted slots dropped; two state-bit writes then switch the tables (block_commit).
#pragma once

namespace flashfs {

// 0, initerror, FFS_E_NOBLOCKS (no free block) or FFS_E_SIBLINGLOOP.
int inodes_reclaim();
// Copies the subtree of directory d into the new inode block: 0 or FFS_E_SIBLINGLOOP.
int inodes_copy(int d);
void block_commit();

}  // namespace flashfs
