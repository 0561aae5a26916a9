#include "inodes_reclaim.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <limits>

#include "blocks.h"
#include "ffs.h"
#include "objects.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

std::uint32_t new_slot(int i)
{
    return block_offset(fs.newinodes) + static_cast<std::uint32_t>(i) * kInodeRecordSize;
}

// Copies the slot's own fields (not its links), in flash order.
void copy_slot(int i)
{
    InodeRecord r = inode(i);
    const std::uint32_t at = new_slot(i);
    flash_write32(at + inode_offset::location, r.location());
    flash_write16(at + inode_offset::size, r.size());
    flash_write8(at + inode_offset::flags, r.flags());
    flash_write16(at + inode_offset::sequence, r.sequence());
    flash_write16(at + inode_offset::updates, r.updates());
    ++fs.block_stat[fs.newinodes].used;
}

void link_child(int parent, int i)
{
    flash_write16(new_slot(parent) + inode_offset::child, static_cast<std::uint16_t>(i));
}
void link_sibling(int previous, int i)
{
    flash_write16(new_slot(previous) + inode_offset::sibling, static_cast<std::uint16_t>(i));
}

// One copy of the tree. The old table does not change while it is copied, so every walk is a
// fixed function of where it starts: a directory reached again inside its own subtree, or a slot
// passed twice by one chain walk, means the copy would go round until its depth or step bound ran
// out and end in FFS_E_SIBLINGLOOP. It ends there at once instead: a damaged table made each
// attempt write some hundred thousand slots into a block that is erased again afterwards.
class TreeCopy {
public:
    int tree(int d, int depth)
    {
        if (depth > inode_slots())
            return FFS_E_SIBLINGLOOP;
        BlockStat& table = fs.block_stat[fs.newinodes];
        if (const std::int32_t copies = subtree_copies_[static_cast<std::size_t>(d)]) {
            // Copied already by way of another directory (twin directories, left by a
            // relocation cut short, share their entries). Copying it again would write the same
            // bytes and count the same slots, and twins inside twins doubled that each level.
            table.used = std::min(table.used, kUsedCeiling - copies) + copies;
            return 0;
        }
        const std::int32_t used_before = table.used;
        copy_slot(d);
        on_path_[d] = true;
        const int walk = ++walks_;
        int previous = 0;
        const int result = for_each_entry(d, [&](int e) -> int {
            if (passed_twice(e, walk))
                return FFS_E_SIBLINGLOOP;
            if (inode(e).type() == OT_DIR) {
                if (on_path_[e])
                    return FFS_E_SIBLINGLOOP;
                if (int r = tree(e, depth + 1))
                    return r;
            } else {
                copy_slot(e);
            }
            if (previous == 0)
                link_child(d, e);
            else
                link_sibling(previous, e);
            previous = e;
            if (inode(e).type() == OT_FILE && inode(e).child() != kNoInode)
                return segments(e);
            return 0;
        });
        on_path_[d] = false;
        if (result == 0)
            subtree_copies_[static_cast<std::size_t>(d)] = table.used - used_before;
        return result;
    }

private:
    int segments(int file)
    {
        const int walk = ++walks_;
        int previous = file;
        int budget = inode_slots();
        for (int s = segment_next(file, budget); s > 0; s = segment_next(s, budget)) {
            if (passed_twice(s, walk))
                return FFS_E_SIBLINGLOOP;
            copy_slot(s);
            link_child(previous, s);
            previous = s;
        }
        return budget < 0 ? FFS_E_SIBLINGLOOP : 0;
    }

    bool passed_twice(int i, int walk)
    {
        int& last = walk_of_[static_cast<std::size_t>(i)];
        if (last == walk)
            return true;
        last = walk;
        return false;
    }

    // On the stack: no allocation for each copy (the fuzzer's small tables copy often).
    std::array<int, kMaxInodeSlots> walk_of_{};  // per slot: the last walk that passed it
    std::bitset<kMaxInodeSlots> on_path_;        // directories being copied, from the root down
    // Per directory copied in full: the slot copies its subtree counted (0: not copied yet).
    std::array<std::int32_t, kMaxInodeSlots> subtree_copies_{};
    int walks_ = 0;
    // The count of copies stays far from overflowing however often shared subtrees repeat.
    static constexpr std::int32_t kUsedCeiling = std::numeric_limits<std::int32_t>::max() / 2;
};

}  // namespace

int inodes_reclaim()
{
    trace(TR_RECLAIM, "irec{");
    if (fs.initerror != 0) {
        trace(TR_RECLAIM, "} %d", fs.initerror);
        return fs.initerror;
    }
    int b = ffs_block_alloc(1, BIT_COPYING);
    if (b < 0) {
        trace(TR_RECLAIM, "} %d", FFS_E_NOBLOCKS);
        return FFS_E_NOBLOCKS;
    }
    fs.newinodes = static_cast<std::int8_t>(b);
    fs.block_stat[b].used = 0;
    int r = inodes_copy(fs.root);
    if (r < 0) {
        block_free(b);  // the half-made copy is never committed
        fs.newinodes = -1;
        trace(TR_RECLAIM, "} %d", r);
        return r;
    }
    block_commit();
    trace(TR_RECLAIM, "} %d", 0);
    return 0;
}

int inodes_copy(int d)
{
    return TreeCopy().tree(d, 0);
}

void block_commit()
{
    trace(TR_ALLOC, "block_commit(%d -> %d) {\n", fs.inodes, fs.newinodes);
    block_state_clear(fs.inodes, BIT_LOST);
    block_state_clear(fs.newinodes, BIT_INODES);
    block_free(fs.inodes);
    BlockStat& table = fs.block_stat[fs.newinodes];
    table.lost = 0;
    table.objects = 1;
    fs.inodes = fs.newinodes;
}

}  // namespace flashfs
