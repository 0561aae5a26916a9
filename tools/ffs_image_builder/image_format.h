// The FFS on-flash format as this library knows it: written from the format rules alone and
// kept apart from the FFS code, so that a misreading in one cannot hide in the other.
#pragma once

#include <cstdint>
#include <vector>

namespace ffs_image {

using Image = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kImageSize = 0x400000;
inline constexpr std::uint32_t kBlockSize = 0x10000;
inline constexpr int kBlocks = 64;
inline constexpr std::uint32_t kAtom = 16;
inline constexpr int kSlots = 4096;
inline constexpr int kMaxName = 40;

inline constexpr std::uint16_t kMagic0 = 0x6646;
inline constexpr std::uint16_t kMagic1 = 0x2373;
inline constexpr std::uint16_t kVersion = 0x0210;

// Block state words.
inline constexpr std::uint16_t kErased = 0xFFFF;
inline constexpr std::uint16_t kFree = 0xFFBF;
inline constexpr std::uint16_t kData = 0xFFBD;
inline constexpr std::uint16_t kCleaning = 0xFFBC;
inline constexpr std::uint16_t kCopying = 0xFFBB;
inline constexpr std::uint16_t kInodes = 0xFFAB;
inline constexpr std::uint16_t kInodesLost = 0xFF2B;

// Object types (flags bits 0-2).
inline constexpr std::uint8_t kDeleted = 0;
inline constexpr std::uint8_t kFile = 1;
inline constexpr std::uint8_t kDir = 2;
inline constexpr std::uint8_t kLink = 3;
inline constexpr std::uint8_t kSegment = 4;
inline constexpr std::uint8_t kWritable = 0x10;

// Journal record states.
inline constexpr std::uint8_t kRecordEmpty = 0xFF;
inline constexpr std::uint8_t kRecordWritten = 0xFD;
inline constexpr std::uint8_t kRecordComplete = 0xF9;
inline constexpr std::uint8_t kRecordApplied = 0xF1;

inline std::uint32_t block_start(int block)
{
    return static_cast<std::uint32_t>(block) * kBlockSize;
}
inline std::uint32_t round16(std::uint32_t n)
{
    return (n + 15) & ~15u;
}

std::uint16_t read16(const std::uint8_t* area, std::uint32_t offset);
std::uint32_t read32(const std::uint8_t* area, std::uint32_t offset);
void write16(std::uint8_t* area, std::uint32_t offset, std::uint16_t value);
void write32(std::uint8_t* area, std::uint32_t offset, std::uint32_t value);

struct InodeFields {
    std::uint16_t size = 0xFFFF;
    std::uint8_t flags = 0xFF;
    std::int16_t child = -1;
    std::int16_t sibling = -1;
    std::uint32_t location = 0xFFFFFFFF;
    std::uint16_t sequence = 0xFFFF;
    std::uint16_t updates = 0xFFFF;

    int type() const { return flags & 7; }
    bool used() const { return location != 0xFFFFFFFF; }
    bool valid() const { return used() && type() >= kFile && type() <= kSegment; }
};

InodeFields read_inode(const std::uint8_t* area, int inode_block, int slot);
void write_inode(std::uint8_t* area, int inode_block, int slot, const InodeFields& fields);

struct JournalEntry {
    std::uint8_t state = kRecordComplete;
    std::uint8_t flags = 0xFF;
    std::int16_t new_inode = 0;
    std::int16_t link = 0;
    std::int16_t old_inode = 0;
    std::uint32_t location = 0;
    std::uint16_t size = 0;
    std::int16_t remove = 0;
};

void write_journal_entry(std::uint8_t* area, std::uint32_t offset, const JournalEntry& entry);
JournalEntry read_journal_entry(const std::uint8_t* area, std::uint32_t offset);

// Object sizes by the storage rules.
inline std::uint32_t named_object_size(std::uint32_t name, std::uint32_t data)
{
    return round16(name + 1 + data + (data > 0 ? 1 : 0));
}
inline std::uint32_t segment_object_size(std::uint32_t data)
{
    return round16(data + 1);
}

// Data length of a stored object by the scan rule (-1 when a named object has no NUL).
std::int32_t data_length(const std::uint8_t* object, std::uint32_t size, bool segment);

}  // namespace ffs_image
