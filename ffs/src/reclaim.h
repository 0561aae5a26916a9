// Data reclaim: choosing a victim block, moving its live objects out and erasing it.
#pragma once

#include <cstdint>

namespace flashfs {

// >= 0 progress (0: nothing to gain), < 0 error.
int data_reclaim(std::int32_t size);
// Whether the oldest data block should be reclaimed for wear levelling.
bool reclaim_by_age(int age_distance, int age_gain);
// reason: 0 most lost space, 1 most free space, 2 age. Objects moved, or an error; on error the
// victim and every object in it stay where they were.
int data_block_reclaim(int block, int reason);
// Rewrites one object elsewhere in its own transaction: the new inode, or an error.
int object_relocate(int i);

}  // namespace flashfs
