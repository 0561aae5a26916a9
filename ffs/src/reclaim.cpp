#include "reclaim.h"

#include <algorithm>
#include <climits>

#include "blocks.h"
#include "inodes_reclaim.h"
#include "journal.h"
#include "objects.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

constexpr int kAgeDistanceCap = 512;

int age_distance_from_youngest(int b)
{
    std::uint16_t age = flash_read16(block_offset(b) + header_offset::age);
    return std::min<int>(static_cast<std::uint16_t>(fs.age_max - age), kAgeDistanceCap);
}

int live_objects_in(int block)
{
    int count = 0;
    for (int i = 1; i < fs.inodes_max; ++i) {
        if (inode_live(i) && location_block(inode(i).location()) == block)
            ++count;
    }
    return count;
}

// Slots inode_alloc_try can still hand out without another inode reclaim.
int free_slots()
{
    int count = 0;
    for (int s = std::max<int>(fs.block_stat[fs.inodes].objects, 1); s < fs.inodes_max - kUnallocatedTopSlots; ++s)
        count += inode(s).location() == kUnusedLocation;
    return count;
}

std::int16_t retarget(std::int16_t field, int from, int to)
{
    if (field == from)
        return static_cast<std::int16_t>(to);
    if (field == -from)
        return static_cast<std::int16_t>(-to);
    return field;
}

// Everything that names a moved object in memory follows it: open descriptors, the
// transaction that the reclaim interrupted and the segments a truncation is about to delete.
void object_moved(int from, int to)
{
    for (Descriptor& d : fs.fds) {
        if (d.inode == from)
            d.inode = static_cast<std::int16_t>(to);
        if (d.segment == from)
            d.segment = static_cast<std::int16_t>(to);
    }
    JournalRecord& saved = fs.saved_record;
    if (saved.old_inode == from) {
        saved.old_inode = static_cast<std::int16_t>(to);
        saved.location = inode(to).location();
    }
    saved.link = retarget(saved.link, from, to);
    saved.remove = retarget(saved.remove, from, to);
    fs.pending_truncation = retarget(fs.pending_truncation, from, to);
}

// Moves every live object out of the victim; stops at the first failure.
int relocate_all(int block)
{
    int moved = 0;
    for (int i = 1; i < fs.inodes_max; ++i) {
        if (!inode_live(i) || location_block(inode(i).location()) != block)
            continue;
        int n = object_relocate(i);
        if (n < 0) {
            InodeRecord r = inode(i);
            trace(TR_FAULT, "[ffs] data_block_reclaim(%d) object_relocate fail, error=%d", block, n);
            trace(TR_ALLOC, "inode(%d) location:%x, size:%d, flags:%x, childs:%x", i, r.location(), r.size(), r.flags(),
                  static_cast<unsigned>(static_cast<std::uint16_t>(r.child())));
            return n;
        }
        object_moved(i, n);
        ++moved;
    }
    return moved;
}

}  // namespace

int data_reclaim(std::int32_t size)
{
    trace(TR_RECLAIM, "drec{");
    const std::int64_t blocksize = dev.blocksize;
    std::int64_t total_free = 0;
    int most_lost = -1, most_free = -1, oldest = -1;
    std::int64_t most_lost_value = LLONG_MIN, most_lost_free = 0, most_free_value = LLONG_MIN;
    int oldest_distance = -1, free_distance = 0;
    bool room_for_journal = false;
    int others = 0;

    for (int b = 0; b < dev.numblocks; ++b) {
        const BlockStat& s = fs.block_stat[b];
        if (s.state == BS_DATA) {
            const std::int64_t free = blocksize - (s.used - s.lost);
            total_free += free;
            if (s.lost > most_lost_value) {
                most_lost = b;
                most_lost_value = s.lost;
                most_lost_free = free;
            }
            if (free > most_free_value) {
                most_free = b;
                most_free_value = free;
            }
            int distance = age_distance_from_youngest(b);
            if (distance >= oldest_distance) {
                oldest = b;
                oldest_distance = distance;
            }
            if (blocksize - s.used >= 2 * std::int64_t{fs.journal_size})
                room_for_journal = true;
        } else if (s.state == BS_FREE) {
            total_free += blocksize;
            free_distance = std::max(free_distance, age_distance_from_youngest(b));
        }
        if (s.state != BS_DATA && s.state != BS_INODES)
            ++others;
    }

    if (size > total_free)
        return 0;
    if (others > fs.spare_blocks)
        return ffs_block_alloc(1, BIT_DATA) < 0 ? -1 : 1;
    if (others == 0 && fs.spare_blocks > 0) {
        // Cleaning a block that still holds live objects would lose them: refuse instead.
        trace(TR_FAULT, "[ffs] Not any free block exist, we need to clean one data block!");
        return FFS_E_NOSPACE;
    }
    if (most_lost < 0)
        return 0;  // no data block to reclaim
    if (!room_for_journal)
        return data_block_reclaim(most_lost, 0);
    if (reclaim_by_age(oldest_distance, oldest_distance - free_distance))
        return data_block_reclaim(oldest, 2);
    if (most_lost_free >= size)
        return data_block_reclaim(most_lost, 0);
    if (most_free_value >= size)
        return data_block_reclaim(most_free, 1);
    int r = data_block_reclaim(most_lost, 0);
    return r < 0 ? r : 0;
}

bool reclaim_by_age(int a, int g)
{
    bool result = a + g >= 512;
    if (a - 4 < g && 256 - a > 0 && 256 - a <= 64) {
        int n = 256 - a;
        if (n < 4)
            n = 2;
        if (n < 64) {
            int k = 0;
            while ((2 << k) <= n)
                ++k;
            const std::uint32_t mask = (std::uint32_t{2} << k) - 1;
            result = (reclaim_random()() & mask) == 0;
        }
    }
    if (g < 64)
        result = false;
    return result;
}

int data_block_reclaim(int b, int reason)
{
    if (fs.reclaim_running)
        return FFS_E_RECLAIMLOOP;
    fs.reclaim_running = true;
    (void)reason;

    // Each live object needs a new slot, and once the target block is taken there may be no FREE
    // block left for an inode reclaim: the slots must be there before the relocation starts. A
    // relocation that ran out of them half way kept the victim and the spare block both, and no
    // reclaim of either kind could ever run again. Such a victim is not started on.
    const BlockStat& table = fs.block_stat[fs.inodes];
    const int live = live_objects_in(b);
    if (fs.inodes_max - (table.used + table.lost) - kUnallocatedTopSlots <= fs.block_stat[b].objects ||
        live > free_slots())
        inodes_reclaim();
    if (live > free_slots()) {
        fs.reclaim_running = false;
        trace(TR_RECLAIM, "} %d", FFS_E_FSFULL);
        return FFS_E_FSFULL;
    }

    int n = ffs_block_alloc(1, BIT_DATA);
    if (live > 0) {
        if (journal_push() < 0) {
            fs.reclaim_running = false;
            return FFS_E_CORRUPTED;
        }
        BlockStat& victim = fs.block_stat[b];
        const std::int32_t used = victim.used;
        victim.used = static_cast<std::int32_t>(dev.blocksize) - 1;  // nothing may land in the victim
        const std::int16_t reserve = fs.objects_reserve;
        const std::int32_t reserved_space = fs.reserved_space;
        fs.objects_reserve = 0;
        fs.reserved_space = 0;

        n = relocate_all(b);

        fs.objects_reserve = reserve;
        fs.reserved_space = reserved_space;
        if (n < 0)
            victim.used = used;  // the victim stays a data block with what is left in it
        if (journal_pop() < 0) {
            fs.reclaim_running = false;
            return FFS_E_CORRUPTED;
        }
    }
    if (n >= 0) {
        block_state_clear(b, BIT_CLEANING);
        inodes_forget_block(b);
        block_free(b);
    }
    fs.reclaim_running = false;
    trace(TR_RECLAIM, "} %d", n);
    return n;
}

int object_relocate(int i)
{
    journal_begin(i);
    const std::int32_t length = object_data_length(i);
    int r;
    if (inode(i).type() == OT_SEGMENT)
        r = segment_create(object_data(i), length, -i);
    else
        r = object_create(object_name(i), object_data(i), length, i == fs.root ? 0 : i, i == fs.journal);
    if (r < 0)
        return r;
    if (i == fs.root)
        fs.root = static_cast<std::int16_t>(r);
    journal_commit(0);
    return r;
}

}  // namespace flashfs
