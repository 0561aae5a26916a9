#include "blocks.h"

#include "device.h"
#include "state.h"
#include "trace.h"

namespace flashfs {

void block_state_clear(int block, std::uint16_t bits)
{
    BlockStat& s = fs.block_stat[block];
    s.state = static_cast<std::uint16_t>(s.state & ~bits);
    flash_write16(block_offset(block) + header_offset::state, s.state);
}

void block_preformat(int block, std::uint16_t old_age)
{
    std::uint16_t age;
    if (old_age == 0) {
        age = fs.age_max;
    } else {
        age = old_age == 0xFFFF ? 1 : static_cast<std::uint16_t>(old_age + 1);
        if (old_age == fs.age_max)
            fs.age_max = age;  // the youngest block stays the youngest
    }
    std::uint32_t h = block_offset(block);
    flash_write16(h + header_offset::age, age);
    flash_write16(h + header_offset::version, kFormatVersion);
    flash_write16(h + header_offset::magic_low, kMagicLow);
    flash_write16(h + header_offset::magic_high, kMagicHigh);
    BlockStat& s = fs.block_stat[block];
    s.state = BS_ERASED;
    s.used = s.lost = 0;
    s.objects = 0;
    block_state_clear(block, BIT_FREE);
}

void block_free(int block)
{
    block_state_clear(block, BIT_LOST);
    if (fs.initerror == FFS_E_INVALID)
        return;  // a mount marks blocks but erases nothing
    std::uint16_t age = flash_read16(block_offset(block) + header_offset::age);
    flash_erase(block);
    block_preformat(block, age);
}

void block_clean(int block)
{
    block_state_clear(block, BIT_CLEANING);
    inodes_forget_block(block);
    block_free(block);
}

int inodes_forget_block(int block)
{
    std::uint32_t first = block_offset(block) >> dev.atomlog2;
    std::uint32_t end = (block_offset(block) + dev.blocksize) >> dev.atomlog2;
    int count = 0;
    for (int i = 1; i < fs.inodes_max; ++i) {
        std::uint32_t location = inode(i).location();
        if (location >= first && location < end) {
            flash_write16(inode_offset_of(i) + inode_offset::size, 0);
            ++count;
        }
    }
    return count;
}

int ffs_block_alloc(int priority, std::uint16_t kind)
{
    trace(TR_ALLOC, "ba(%d,0x%x) {", priority, kind);
    int free_count = 0;
    int youngest = -1;  // smallest age
    int oldest = -1;    // largest age
    for (int b = dev.numblocks - 1; b >= 0; --b) {
        const BlockStat& s = fs.block_stat[b];
        if (s.state != BS_FREE)
            continue;
        ++free_count;
        std::uint16_t age = flash_read16(block_offset(b) + header_offset::age);
        if (youngest < 0 || age <= flash_read16(block_offset(youngest) + header_offset::age))
            youngest = b;
        if (oldest < 0 || age >= flash_read16(block_offset(oldest) + header_offset::age))
            oldest = b;
    }
    int chosen = -1;
    if (free_count > 0 && free_count > fs.spare_blocks - priority) {
        std::uint16_t low = flash_read16(block_offset(youngest) + header_offset::age);
        std::uint16_t high = flash_read16(block_offset(oldest) + header_offset::age);
        chosen = static_cast<std::uint16_t>(high - low) >= 0x8000 ? oldest : youngest;
        BlockStat& s = fs.block_stat[chosen];
        if (kind == BIT_DATA) {
            s.used = kBlockHeaderSize;
            s.lost = 0;
            s.objects = 0;
            block_state_clear(chosen, BIT_DATA);
        } else {
            block_state_clear(chosen, BIT_COPYING);
            s.used = 0;
            s.lost = 0;
            s.objects = 1;
        }
    }
    trace(TR_ALLOC, "} 0x%x", chosen);
    return chosen;
}

std::int32_t block_used_bytes(int block)
{
    const std::uint8_t* start = block_addr(block);
    // Erased kilobytes at the top are passed in one look each, then unit by unit.
    constexpr std::uint32_t kRun = 1024;
    std::uint32_t top = dev.blocksize & ~3u;
    while (top >= kRun && is_erased(start + top - kRun, kRun))
        top -= kRun;
    if (top == 0)
        return 0;
    std::uint32_t offset = top - kAtomSize;
    while (offset > 0 && is_erased(start + offset, kAtomSize))
        offset -= kAtomSize;
    if (offset == 0 && is_erased(start, kAtomSize))
        return 0;
    return static_cast<std::int32_t>(offset + kAtomSize);
}

}  // namespace flashfs
