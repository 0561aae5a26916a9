#include "state.h"

namespace flashfs {
namespace {

std::uint32_t stored_seed = 1;

}  // namespace

FileSystem fs;

std::minstd_rand& reclaim_random()
{
    static std::minstd_rand generator(stored_seed);
    return generator;
}

void reclaim_seed(std::uint32_t seed)
{
    stored_seed = seed;
    reclaim_reseed();
}

void reclaim_reseed()
{
    reclaim_random().seed(stored_seed);
}

int erased_slots(int from, int end)
{
    // A kilobyte of slots at a time where they line up: a mount passes the whole table.
    constexpr int kGroup = 64;
    int i = from;
    while (i < end) {
        if (i % kGroup == 0 && end - i >= kGroup &&
            is_erased(offset_addr(inode_offset_of(i)), kGroup * kInodeRecordSize)) {
            i += kGroup;
            continue;
        }
        if (!is_erased(offset_addr(inode_offset_of(i)), kInodeRecordSize))
            break;
        ++i;
    }
    return i - from;
}

bool object_in_bounds(std::uint32_t location, std::uint32_t size)
{
    if (location >= (kAreaSize >> dev.atomlog2))
        return false;
    std::uint32_t offset = location_offset(location);
    int block = offset_block(offset);
    if (block >= dev.numblocks)
        return false;
    std::uint32_t start = block_offset(block);
    return offset >= start + kBlockHeaderSize && size <= start + dev.blocksize - offset;
}

const char* object_name(int i)
{
    return reinterpret_cast<const char*>(object_addr(i));
}

std::int32_t object_data_length(int i)
{
    return record_data_length(inode(i));
}

std::int32_t record_data_length(InodeRecord r)
{
    return stored_data_length(location_addr(r.location()), r.size(), r.type() == OT_SEGMENT);
}

const std::uint8_t* object_data(int i)
{
    InodeRecord r = inode(i);
    const std::uint8_t* p = object_addr(i);
    if (r.type() == OT_SEGMENT)
        return p;
    int name_end = stored_name_length(p, r.size());
    return p + (name_end < 0 ? r.size() : static_cast<std::uint32_t>(name_end) + 1);
}

}  // namespace flashfs
