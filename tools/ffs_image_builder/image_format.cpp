#include "image_format.h"

namespace ffs_image {

std::uint16_t read16(const std::uint8_t* area, std::uint32_t offset)
{
    return static_cast<std::uint16_t>(area[offset] | (area[offset + 1] << 8));
}

std::uint32_t read32(const std::uint8_t* area, std::uint32_t offset)
{
    return read16(area, offset) | (static_cast<std::uint32_t>(read16(area, offset + 2)) << 16);
}

void write16(std::uint8_t* area, std::uint32_t offset, std::uint16_t value)
{
    area[offset] = static_cast<std::uint8_t>(value & 0xFF);
    area[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void write32(std::uint8_t* area, std::uint32_t offset, std::uint32_t value)
{
    write16(area, offset, static_cast<std::uint16_t>(value & 0xFFFF));
    write16(area, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

InodeFields read_inode(const std::uint8_t* area, int inode_block, int slot)
{
    const std::uint32_t at = block_start(inode_block) + static_cast<std::uint32_t>(slot) * 16;
    InodeFields f;
    f.size = read16(area, at);
    f.flags = area[at + 3];
    f.child = static_cast<std::int16_t>(read16(area, at + 4));
    f.sibling = static_cast<std::int16_t>(read16(area, at + 6));
    f.location = read32(area, at + 8);
    f.sequence = read16(area, at + 12);
    f.updates = read16(area, at + 14);
    return f;
}

void write_inode(std::uint8_t* area, int inode_block, int slot, const InodeFields& f)
{
    const std::uint32_t at = block_start(inode_block) + static_cast<std::uint32_t>(slot) * 16;
    write16(area, at, f.size);
    area[at + 2] = 0xFF;
    area[at + 3] = f.flags;
    write16(area, at + 4, static_cast<std::uint16_t>(f.child));
    write16(area, at + 6, static_cast<std::uint16_t>(f.sibling));
    write32(area, at + 8, f.location);
    write16(area, at + 12, f.sequence);
    write16(area, at + 14, f.updates);
}

void write_journal_entry(std::uint8_t* area, std::uint32_t offset, const JournalEntry& e)
{
    area[offset] = e.state;
    area[offset + 1] = e.flags;
    write16(area, offset + 2, static_cast<std::uint16_t>(e.new_inode));
    write16(area, offset + 4, static_cast<std::uint16_t>(e.link));
    write16(area, offset + 6, static_cast<std::uint16_t>(e.old_inode));
    write32(area, offset + 8, e.location);
    write16(area, offset + 12, e.size);
    write16(area, offset + 14, static_cast<std::uint16_t>(e.remove));
}

JournalEntry read_journal_entry(const std::uint8_t* area, std::uint32_t offset)
{
    JournalEntry e;
    e.state = area[offset];
    e.flags = area[offset + 1];
    e.new_inode = static_cast<std::int16_t>(read16(area, offset + 2));
    e.link = static_cast<std::int16_t>(read16(area, offset + 4));
    e.old_inode = static_cast<std::int16_t>(read16(area, offset + 6));
    e.location = read32(area, offset + 8);
    e.size = read16(area, offset + 12);
    e.remove = static_cast<std::int16_t>(read16(area, offset + 14));
    return e;
}

std::int32_t data_length(const std::uint8_t* object, std::uint32_t size, bool segment)
{
    std::int64_t zero = static_cast<std::int64_t>(size) - 1;
    while (zero >= 0 && object[zero] != 0)
        --zero;
    std::int64_t start = 0;
    if (!segment) {
        std::int64_t nul = 0;
        while (nul < size && object[nul] != 0)
            ++nul;
        if (nul >= size)
            return -1;
        start = nul + 1;
    }
    std::int64_t length = zero - start;
    return length > 0 ? static_cast<std::int32_t>(length) : 0;
}

}  // namespace ffs_image
