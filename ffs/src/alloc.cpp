#include "alloc.h"

#include <algorithm>

#include "blocks.h"
#include "inodes_reclaim.h"
#include "reclaim.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Estimate of the data space still free for user data, after the reserve.
std::int64_t free_estimate()
{
    const std::int64_t blocksize = dev.blocksize;
    std::int64_t x = (dev.numblocks - fs.spare_blocks - 1) * (blocksize - kBlockHeaderSize) - fs.reserved_space;
    std::int64_t f = x - 16;
    if (fs.chunk_size > 0)
        f -= floor_div(x, fs.chunk_size) * 16;
    for (int b = 0; b < dev.numblocks; ++b) {
        const BlockStat& s = fs.block_stat[b];
        if (s.state == BS_DATA)
            f += s.lost - s.used;
    }
    return f;
}

std::uint32_t free_start(int b)
{
    return block_offset(b) + static_cast<std::uint32_t>(fs.block_stat[b].used);
}

}  // namespace

std::uint32_t data_alloc(std::int32_t size)
{
    trace(TR_ALLOC, "da(%d) {", size);
    std::uint32_t address = 0;
    if (16 + free_estimate() + 40 >= size) {
        for (int attempt = 0; attempt < dev.numblocks; ++attempt) {
            address = data_alloc_try(size);
            if (address > 0)
                break;
            int r = fs.initerror != 0 ? fs.initerror : data_reclaim(size);
            if (r < 0)
                break;
        }
        if (address > 0)
            fs.block_stat[offset_block(address)].used += size;
    }
    trace(TR_ALLOC, "} %x", address);
    return address;
}

std::uint32_t data_alloc_try(std::int32_t size)
{
    trace(TR_ALLOC, "dat(%d) {", size);
    const std::int64_t reserve = std::min<std::int64_t>(2 * std::int64_t{fs.journal_size}, fs.reserved_space);
    const std::int64_t big = std::max<std::int64_t>(size, reserve);
    const std::int64_t small = std::min<std::int64_t>(size, reserve);
    const std::int64_t blocksize = dev.blocksize;
    bool big_found = false, small_found = false;
    std::uint32_t big_place = 0, small_place = 0;
    int free_count = -fs.spare_blocks;

    for (int b = 0; b < dev.numblocks; ++b) {
        const BlockStat& s = fs.block_stat[b];
        if (s.state == BS_FREE) {
            ++free_count;
            continue;
        }
        if (s.state != BS_DATA || s.objects >= fs.block_objects_max - fs.objects_reserve)
            continue;
        const std::int64_t room = blocksize - s.used;
        if (!big_found && !small_found && big + small <= room) {
            big_place = small_place = free_start(b);
            big_found = small_found = true;
            break;
        }
        if (!big_found && room >= big) {
            big_place = free_start(b);
            big_found = true;
        } else if (!small_found && room >= small) {
            small_place = free_start(b);
            small_found = true;
        }
        if (big_found && small_found)
            break;
    }

    if (!big_found && static_cast<std::uint32_t>(free_count * blocksize) > static_cast<std::uint32_t>(big)) {
        big_found = true;  // even when no block can be had: then at address 0
        int b = ffs_block_alloc(0, BIT_DATA);
        if (b >= 0) {
            big_place = free_start(b);
            if (!small_found && big + small < blocksize) {
                small_place = big_place;
                small_found = true;
            }
        }
    }
    if (!small_found && free_count >= 1) {
        int b = ffs_block_alloc(0, BIT_DATA);
        if (b >= 0) {
            small_place = free_start(b);
            small_found = true;
        }
    }

    std::uint32_t address = 0;
    if (big_found && small_found)
        address = size > reserve ? big_place : small_place;
    trace(TR_ALLOC, "} %x ", address);
    return address;
}

std::uint32_t data_alloc_reserved(std::int32_t size)
{
    trace(TR_ALLOC, "dra(%d) {", size);
    int chosen = -1;
    for (int b = 0; b < dev.numblocks && chosen < 0; ++b) {
        const BlockStat& s = fs.block_stat[b];
        if (s.state == BS_DATA && static_cast<std::int64_t>(dev.blocksize) - s.used >= size)
            chosen = b;
    }
    if (chosen < 0)
        chosen = ffs_block_alloc(0, BIT_DATA);
    std::uint32_t address = 0;
    if (chosen >= 0) {
        address = free_start(chosen);
        fs.block_stat[chosen].used += size;
    }
    trace(TR_ALLOC, "} %x", address);
    return address;
}

int inode_alloc()
{
    trace(TR_LOOKUP, "i_a() {");
    int i = inode_alloc_try();
    if (i == 0) {
        inodes_reclaim();
        i = inode_alloc_try();
    }
    trace(TR_LOOKUP, "} %d", i);
    return i;
}

int inode_alloc_try()
{
    BlockStat& table = fs.block_stat[fs.inodes];
    int found = 0;
    if (table.used - table.lost < fs.objects_max) {
        for (int s = std::max<int>(table.objects, 1); s < fs.inodes_max - kUnallocatedTopSlots; ++s) {
            if (inode(s).location() == kUnusedLocation) {
                found = s;
                table.objects = static_cast<std::uint16_t>(s);
                ++table.used;
                break;
            }
        }
    }
    trace(TR_LOOKUP, "i_a_t() %d", found);
    return found;
}

}  // namespace flashfs
