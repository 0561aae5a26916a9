// Objects and paths: resolving paths through directory chains, names and access checks,
// creating and removing objects inside a journal transaction, walking chains and reading an
// object's data through its segment chain.
//
// Chains come from the flash, so every walk is bounded: a walk longer than the inode table
// has slots can only be a loop and ends with FFS_E_SIBLINGLOOP (or as the end of the chain
// where a routine has no error to give).
#pragma once

#include <cstdint>

#include "ffs.h"
#include "state.h"

namespace flashfs {

// Visits the valid entries of directory d in chain order. visit(e) returns 0 to go on, or a
// value that ends the walk and is returned; a chain longer than the table has slots is a loop.
template <typename Visit>
int for_each_entry(int d, Visit visit)
{
    int steps = inode_slots();
    for (int e = inode(d).child(); inode_in_range(e); e = inode(e).sibling()) {
        if (--steps < 0)
            return FFS_E_SIBLINGLOOP;
        if (!record_live(inode(e)))  // in range: the loop's condition
            continue;
        if (int r = visit(e))
            return r;
    }
    return 0;
}

// ---- paths ----
// leaf: start of the last component reached; dir: the directory searched last.
int path_lookup(const char* path, const char** leaf = nullptr, int* dir = nullptr);
// reached: the path of the object looked up, which is the link's target when path names a link.
int object_lookup(const char* path, const char** leaf = nullptr, int* dir = nullptr, const char** reached = nullptr);
int dir_lookup(const char* path);
int name_check(const char* name);
int is_protected(int i, const char* path);

// ---- creating and removing (inside a journal transaction) ----
int object_alloc(std::int32_t size, bool journal);
// is_journal: the object is the journal file (its data area stays erased).
int object_create(const char* name, const std::uint8_t* data, std::int32_t length, int link_request,
                  bool is_journal = false);
// A new segment: the data and one 0 byte after it. link_request +p: the child of p's last
// segment; -s: the sibling of segment s (it replaces s).
int segment_create(const std::uint8_t* data, std::int32_t length, int link_request);
int object_remove(int i);

// ---- chains ----
int dir_last(int a, int* count = nullptr);
// dir_last without the ambiguity of its result (-40 is also "the empty directory 40"):
// 0 or FFS_E_SIBLINGLOOP, with the last inode and the count of valid inodes passed.
int chain_last(int a, int* count, int* last);
int dir_next(int d, int current, char* buffer, int size);
// The next segment of a file after i, 0 at the end. A walk along a file's chain passes every slot
// once in a sound table, so its steps share one budget of the table's slot count: a damaged chain
// that leads back into itself ends there (budget < 0 afterwards) instead of costing the table's
// size for every segment.
int segment_next(int i, int& budget);
int segment_next(int i);
int segment_last(int i);
std::int32_t segment_datasize(int i);
std::int32_t segment_read(int i, std::uint8_t* destination, std::int32_t count, std::int32_t position);
std::int32_t segment_find(int i, std::int32_t offset, int* segment, std::int32_t* segment_offset);

// Walks the tree from the root: every chain must end and no directory may be reached twice.
// 0, or FFS_E_SIBLINGLOOP.
int tree_check();

}  // namespace flashfs
