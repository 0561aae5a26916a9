// The on-flash format: constants, little-endian field access and the object size rules.
// FORMAT.md beside this folder describes the format in prose; this header is its code form.
// Everything here is pure (no flash access, no state), so tools and tests can rely on it.
#pragma once

#include <cstdint>

namespace flashfs {

// ---- geometry ----
inline constexpr std::uint32_t kAtomSize = 16;
inline constexpr std::uint8_t kAtomLog2 = 4;
inline constexpr std::uint32_t kBlockHeaderSize = 16;
inline constexpr int kMaxInodeSlots = 4096;
inline constexpr int kUnallocatedTopSlots = 4;  // the last slots are never handed out
inline constexpr int kMaxNameLength = 40;
inline constexpr std::uint32_t kUnusedLocation = 0xFFFFFFFF;
inline constexpr std::int16_t kNoInode = -1;  // child/sibling "none"

// ---- block header ----
namespace header_offset {
inline constexpr std::uint32_t magic_low = 0;
inline constexpr std::uint32_t magic_high = 2;
inline constexpr std::uint32_t version = 4;
inline constexpr std::uint32_t age = 6;
inline constexpr std::uint32_t state = 8;
}  // namespace header_offset

inline constexpr std::uint16_t kMagicLow = 0x6646;
inline constexpr std::uint16_t kMagicHigh = 0x2373;
inline constexpr std::uint16_t kFormatVersion = 0x0210;
inline constexpr std::uint16_t kOldFormatMark = 0x5346;     // at offset 4 of an old-format block
inline constexpr std::uint16_t kOldFormatVersion = 0x0100;  // at offset 6 of an old-format block

// State words. Each transition clears bits, so a state is rewritten in place without erasing.
enum BlockState : std::uint16_t {
    BS_ERASED = 0xFFFF,
    BS_FREE = 0xFFBF,
    BS_DATA = 0xFFBD,
    BS_CLEANING = 0xFFBC,
    BS_COPYING = 0xFFBB,
    BS_INODES = 0xFFAB,
    BS_INODESLOST = 0xFF2B,
};

enum BlockStateBit : std::uint16_t {
    BIT_LOST = 0x80,
    BIT_FREE = 0x40,
    BIT_INODES = 0x10,
    BIT_COPYING = 0x04,
    BIT_DATA = 0x02,
    BIT_CLEANING = 0x01,
};

const char* block_state_name(std::uint16_t state);

// ---- inode records ----
inline constexpr std::uint32_t kInodeRecordSize = 16;
namespace inode_offset {
inline constexpr std::uint32_t size = 0;
inline constexpr std::uint32_t flags = 3;
inline constexpr std::uint32_t child = 4;
inline constexpr std::uint32_t sibling = 6;
inline constexpr std::uint32_t location = 8;
inline constexpr std::uint32_t sequence = 12;
inline constexpr std::uint32_t updates = 14;
}  // namespace inode_offset

enum ObjectType : std::uint8_t {
    OT_DELETED = 0,
    OT_FILE = 1,
    OT_DIR = 2,
    OT_LINK = 3,
    OT_SEGMENT = 4,
};

inline constexpr std::uint8_t kTypeMask = 0x07;
inline constexpr std::uint8_t kFlagWritable = 0x10;
inline constexpr std::uint8_t kNewObjectFlags = 0xF0;  // combined with the type
inline constexpr std::uint8_t kJournalFlags = 0xE1;    // read-only file

// The accessors the chain walks call for every slot are always inlined (here, in InodeRecord, in
// device.h and state.h): a build with sanitizers at -O1 called each one, a tenth of the fuzzer's time.
[[gnu::always_inline]] inline int object_type(std::uint8_t flags)
{
    return flags & kTypeMask;
}
[[gnu::always_inline]] inline bool type_is_valid(int type)
{
    return type >= OT_FILE && type <= OT_SEGMENT;
}

// ---- journal records ----
inline constexpr std::uint32_t kJournalRecordSize = 16;
inline constexpr std::uint32_t kJournalFirstRecord = 12;  // after ".journal" and its NUL
inline constexpr char kJournalName[] = ".journal";

enum JournalState : std::uint8_t {
    JS_EMPTY = 0xFF,
    JS_WRITTEN = 0xFD,
    JS_COMPLETE = 0xF9,
    JS_APPLIED = 0xF1,
};

struct JournalRecord {
    std::uint8_t state = JS_EMPTY;
    std::uint8_t flags = 0xFF;
    std::int16_t new_inode = 0;
    std::int16_t link = 0;  // -d: child of d; +p: sibling of p; 0: none
    std::int16_t old_inode = 0;
    std::uint32_t location = 0;  // atoms
    std::uint16_t size = 0;
    std::int16_t remove = 0;

    void encode(std::uint8_t out[kJournalRecordSize]) const;
    static JournalRecord decode(const std::uint8_t in[kJournalRecordSize]);
};

// ---- little-endian access ----
[[gnu::always_inline]] inline std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
[[gnu::always_inline]] inline std::uint32_t get32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, static_cast<std::uint16_t>(v));
    put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// A read-only view of one inode record.
struct InodeRecord {
    const std::uint8_t* p;
    [[gnu::always_inline]] std::uint16_t size() const { return get16(p + inode_offset::size); }
    [[gnu::always_inline]] std::uint8_t flags() const { return p[inode_offset::flags]; }
    [[gnu::always_inline]] int type() const { return object_type(flags()); }
    [[gnu::always_inline]] bool valid() const { return type_is_valid(type()); }
    [[gnu::always_inline]] std::int16_t child() const
    {
        return static_cast<std::int16_t>(get16(p + inode_offset::child));
    }
    [[gnu::always_inline]] std::int16_t sibling() const
    {
        return static_cast<std::int16_t>(get16(p + inode_offset::sibling));
    }
    [[gnu::always_inline]] std::uint32_t location() const { return get32(p + inode_offset::location); }
    [[gnu::always_inline]] bool used() const { return location() != kUnusedLocation; }
    [[gnu::always_inline]] std::uint16_t sequence() const { return get16(p + inode_offset::sequence); }
    [[gnu::always_inline]] std::uint16_t updates() const { return get16(p + inode_offset::updates); }
};

// ---- object size rules ----
inline std::uint32_t round_up_atom(std::uint32_t n)
{
    return (n + kAtomSize - 1) & ~(kAtomSize - 1);
}
// File, directory or link: name, NUL, data, one 0 after data when there is data.
inline std::uint32_t object_size(std::uint32_t name_length, std::uint32_t data_length)
{
    return round_up_atom(name_length + 1 + data_length + (data_length > 0 ? 1 : 0));
}
// Segment: data and one 0.
inline std::uint32_t segment_size(std::uint32_t data_length)
{
    return round_up_atom(data_length + 1);
}

// Length of the name stored at the start of an object of `size` bytes: the index of its NUL,
// or -1 when the object holds no NUL (a damaged object).
int stored_name_length(const std::uint8_t* object, std::uint32_t size);

// Data length by the scan rule: back from the object's last byte over non-zero bytes to the
// last 0 byte; measured from the end of the name (or from the start for a segment).
std::int32_t stored_data_length(const std::uint8_t* object, std::uint32_t size, bool segment);

// The characters a name may not hold.
bool is_forbidden_name_char(char c);

// True when all `count` bytes read 0xFF: never written since the block was erased.
bool is_erased(const std::uint8_t* bytes, std::uint32_t count);

// Circular distance of two 16-bit ages.
std::uint16_t age_distance(std::uint16_t x, std::uint16_t y);

}  // namespace flashfs
