// The in-memory state of a mounted FFS: the file system record, the block status table, the
// descriptor table and the journal record in progress. One instance; a mount starts it afresh.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "device.h"
#include "layout.h"

namespace flashfs {

// Per block, in memory only; rebuilt by every mount.
struct BlockStat {
    std::int32_t used = 0;      // data block: bytes up to the end of the last written unit; inode block: slots in use
    std::int32_t lost = 0;      // data block: bytes of deleted objects; inode block: deleted or invalid slots
    std::uint16_t state = 0;    // copy of the header's state word
    std::uint16_t objects = 0;  // data block: live objects; inode block: first slot to try when allocating
};

struct Descriptor {
    std::vector<std::uint8_t> buffer;  // stream_size bytes while open for writing (kept after the close)
    std::int16_t inode = 0;
    std::int16_t segment = 0;  // inode whose data the buffer holds and replaces (0: new segment)
    std::int32_t fp = 0;
    std::int32_t wfp = 0;  // file offset of the buffer's first byte
    std::int32_t size = 0;
    std::uint8_t flags = 0;  // 0: free
    std::int32_t dirty = 0;
};

struct FileSystem {
    std::int8_t inodes = -1;
    std::int8_t newinodes = -1;
    std::int16_t root = 0;
    std::int16_t journal = 0;
    std::int32_t initerror = FFS_E_AGAIN;  // not mounted yet
    std::uint16_t format = 0;
    std::uint16_t age_max = 0;
    std::uint16_t sequence = 0;

    // Format parameters.
    std::int32_t chunk_size = 0;
    std::uint8_t numfds = 0;
    std::int16_t block_objects_max = 0;
    std::int16_t inodes_max = 0;
    std::uint32_t journal_size = 0;
    std::int8_t spare_blocks = 0;
    std::uint8_t filename_max = 0;
    std::int16_t objects_max = 0;
    std::int32_t reserved_space = 0;
    std::int32_t stream_size = 0;
    std::uint8_t param_t = 0;
    std::uint8_t param_z = 0;
    std::int16_t path_depth_max = 0;
    std::int16_t objects_reserve = 0;

    // Journal.
    JournalRecord record;  // the transaction being built
    std::uint32_t journal_pos = kJournalFirstRecord;
    std::int8_t nesting = 0;
    JournalRecord saved_record;
    bool carry_child = true;        // the new inode takes over the old inode's child
    bool saved_carry_child = true;  // carry_child belongs to the saved transaction too

    // The old segments that a truncating ffs_open deletes once the new empty file is committed.
    std::int16_t pending_truncation = 0;

    // Data reclaim.
    bool reclaim_running = false;

    std::array<BlockStat, kDeviceBlocks> block_stat{};
    std::vector<Descriptor> fds;
};

extern FileSystem fs;

// The coin of reclaim_by_age; seeded at every mount from the stored seed.
std::minstd_rand& reclaim_random();
void reclaim_seed(std::uint32_t seed);
void reclaim_reseed();  // back to the stored seed (every mount)

// ---- inode table access ----
// Slots that the inode block holds (block size / 16, at most 4096).
[[gnu::always_inline]] inline int inode_slots()
{
    const int slots = static_cast<int>(dev.blocksize / kInodeRecordSize);
    return slots < kMaxInodeSlots ? slots : kMaxInodeSlots;
}
[[gnu::always_inline]] inline bool inode_in_range(int i)
{
    return i > 0 && i < inode_slots();
}
// Byte offset of slot i in the area.
[[gnu::always_inline]] inline std::uint32_t inode_offset_of(int i)
{
    return block_offset(fs.inodes) + static_cast<std::uint32_t>(i) * kInodeRecordSize;
}
[[gnu::always_inline]] inline InodeRecord inode(int i)
{
    return InodeRecord{offset_addr(inode_offset_of(i))};
}
// "Valid" everywhere in the core: in range, in use and of type file, directory, link or segment.
// Mount has checked where every used inode points, so a live inode's object can be read.
[[gnu::always_inline]] inline bool record_live(InodeRecord r)
{
    return r.used() && r.valid();
}
[[gnu::always_inline]] inline bool inode_live(int i)
{
    return inode_in_range(i) && record_live(inode(i));
}

// Object storage of a valid inode.
[[gnu::always_inline]] inline std::uint8_t* object_addr(int i)
{
    return location_addr(inode(i).location());
}
inline std::uint32_t object_offset(int i)
{
    return location_offset(inode(i).location());
}

// How many slots from `from` on (up to `end`) were never written: all their bytes read 0xFF.
int erased_slots(int from, int end);

// True when the objects's bytes lie inside one block, after its header.
bool object_in_bounds(std::uint32_t location, std::uint32_t size);

// Names and data of objects (the inode must be in range, used and in bounds).
const char* object_name(int i);  // points into the flash; NUL-terminated inside the object
std::int32_t object_data_length(int i);
std::int32_t record_data_length(InodeRecord r);
const std::uint8_t* object_data(int i);

}  // namespace flashfs
