// Block-level operations: state changes, preformatting, freeing, cleaning and the block
// allocator with its age rule and spare-block reserve.
#pragma once

#include <cstdint>

namespace flashfs {

// Clears bits of the block's state word in memory and writes the whole word to the header.
void block_state_clear(int block, std::uint16_t bits);

// Writes a header (age, version, magic) into an erased block and makes it FREE.
// old_age 0: the block gets the file system's current age.
void block_preformat(int block, std::uint16_t old_age);

// Marks the block lost; outside a mount also erases and preformats it.
void block_free(int block);

// CLEANING, forget the inodes located in it, free it.
void block_clean(int block);

// Sets the size of every inode located in the block to 0; returns how many.
int inodes_forget_block(int block);

// priority 0: normal, 1: reclaim (may take the spare blocks). kind: BIT_DATA or BIT_COPYING.
// Returns the block index or -1.
int ffs_block_alloc(int priority, std::uint16_t kind);

// High-water mark of written data in a block (0 when erased).
std::int32_t block_used_bytes(int block);

}  // namespace flashfs
