#include "journal.h"

#include "device.h"
#include "objects.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

// The block status record of the block that holds a location, or null for a location outside
// the blocks (only a damaged image has one).
BlockStat* stat_of(std::uint32_t location)
{
    if (location >= (kAreaSize >> dev.atomlog2))
        return nullptr;
    int block = location_block(location);
    return block < kDeviceBlocks ? &fs.block_stat[block] : nullptr;
}

bool link_sound(std::int16_t link)
{
    return link == 0 || inode_in_range(link < 0 ? -link : link);
}

// A record read back from the flash is applied only when every field points inside the table
// and the area.
bool record_sound(const JournalRecord& r)
{
    if (r.new_inode != 0 && (!inode_in_range(r.new_inode) || !object_in_bounds(r.location, r.size)))
        return false;
    if (r.old_inode != 0 && (!inode_in_range(r.old_inode) || stat_of(inode(r.old_inode).location()) == nullptr))
        return false;
    return link_sound(r.link) && (r.remove <= 0 || inode_in_range(r.remove));
}

}  // namespace

int journal_begin(int old)
{
    JournalRecord& r = fs.record;
    r.new_inode = 0;
    r.state = JS_EMPTY;
    r.remove = 0;
    fs.carry_child = true;
    if (old == 0) {
        r.flags = 0xFF;
        r.link = r.old_inode = 0;
        r.location = 0;
        r.size = 0;
        return 0;
    }
    InodeRecord o = inode(old);
    r.flags = o.flags();
    r.link = r.old_inode = static_cast<std::int16_t>(old);
    r.location = o.location();
    r.size = o.size();
    return r.size;
}

void journal_commit(int type)
{
    JournalRecord& r = fs.record;
    if (type != 0 && r.old_inode == 0)
        r.flags = static_cast<std::uint8_t>(type | (r.flags & 0xF0));
    if (fs.journal == 0) {
        journal_apply(0);
        return;
    }
    // Records go only into a live journal file with room for them.
    const bool loggable = inode_live(fs.journal) && inode(fs.journal).type() == OT_FILE &&
                          fs.journal_pos + kJournalRecordSize <= inode(fs.journal).size();
    const std::uint32_t slot = loggable ? object_offset(fs.journal) + fs.journal_pos : 0;
    if (loggable) {
        if (r.state == JS_EMPTY) {
            r.state = JS_WRITTEN;
            std::uint8_t bytes[kJournalRecordSize];
            r.encode(bytes);
            flash_write(slot, bytes, kJournalRecordSize);
        }
        if (r.state == JS_WRITTEN) {
            r.state = JS_COMPLETE;
            flash_write8(slot, JS_COMPLETE);
        }
        journal_apply(0);
        flash_write8(slot, JS_APPLIED);
        fs.journal_pos += kJournalRecordSize;
    } else {
        // The journal is full and could not be replaced (no space): apply without a record
        // rather than write past the journal's end.
        trace(TR_FAULT, "[ffs] journal %d unusable at %u, transaction applied unlogged", fs.journal, fs.journal_pos);
        journal_apply(0);
    }
    // Decided before a replacement runs: the replacement may reclaim inode slots and hand the
    // slot this transaction just deleted to the new journal.
    const bool replaced_journal = r.old_inode == fs.journal;
    const int created = r.new_inode;
    if (replaced_journal) {
        fs.journal_pos = kJournalFirstRecord;
        fs.journal = static_cast<std::int16_t>(created);
    } else if (fs.journal_pos >= fs.journal_size - 64) {
        journal_create(fs.journal);
    }
}

void journal_apply(int type)
{
    trace(TR_CREATE, "jc(){");
    JournalRecord& r = fs.record;
    if (r.new_inode != 0) {
        const int i = r.new_inode;
        const std::uint32_t at = inode_offset_of(i);
        if (type != 0 && r.old_inode == 0)
            r.flags = static_cast<std::uint8_t>(type | (r.flags & 0xF0));
        flash_write32(at + inode_offset::location, r.location);
        flash_write16(at + inode_offset::size, r.size);
        if (r.old_inode != 0 && fs.carry_child)
            flash_write16(at + inode_offset::child, static_cast<std::uint16_t>(inode(r.old_inode).child()));
        if (inode(i).sequence() == 0xFFFF) {
            flash_write16(at + inode_offset::sequence, fs.sequence);
            fs.sequence = static_cast<std::uint16_t>(fs.sequence + 1);
        }
        std::uint16_t updates = r.old_inode != 0 ? static_cast<std::uint16_t>(inode(r.old_inode).updates() + 1) : 0;
        flash_write16(at + inode_offset::updates, updates);
        if (r.link < 0)
            flash_write16(inode_offset_of(-r.link) + inode_offset::child, static_cast<std::uint16_t>(i));
        else if (r.link > 0)
            flash_write16(inode_offset_of(r.link) + inode_offset::sibling, static_cast<std::uint16_t>(i));
        flash_write8(at + inode_offset::flags, r.flags);
        if (BlockStat* s = stat_of(r.location))
            ++s->objects;
    }
    if (r.old_inode != 0) {
        const int o = r.old_inode;
        flash_write8(inode_offset_of(o) + inode_offset::flags, 0);
        if (BlockStat* s = stat_of(inode(o).location())) {
            --s->objects;
            if (inode(o).location() != r.location)
                s->lost += inode(o).size();
        }
        ++fs.block_stat[fs.inodes].lost;
        if (r.remove > 0) {
            // The removal reuses the record; the caller still needs this one.
            const JournalRecord record = r;
            const bool carry = fs.carry_child;
            object_remove(record.remove);
            fs.record = record;
            fs.carry_child = carry;
        }
    }
}

int journal_init(int j)
{
    if (j == 0) {
        j = journal_create(0);
        if (j <= 0) {
            fs.journal = 0;
            return j;
        }
    }
    fs.nesting = 0;
    fs.journal_pos = kJournalFirstRecord;
    fs.journal = static_cast<std::int16_t>(j);

    int result = 0;
    const std::uint32_t start = object_offset(j);
    const std::uint32_t size = inode(j).size();
    while (fs.journal_pos + kJournalRecordSize <= size) {
        const std::uint8_t* slot = offset_addr(start + fs.journal_pos);
        if (slot[0] == JS_APPLIED) {
            fs.journal_pos += kJournalRecordSize;
            continue;
        }
        if (slot[0] == JS_COMPLETE) {
            JournalRecord r = JournalRecord::decode(slot);
            if (!record_sound(r))
                return FFS_E_CORRUPTED;
            fs.record = r;
            fs.carry_child = true;
            journal_commit(0);
            result = 1;
        } else if (slot[0] != JS_EMPTY) {
            flash_write8(start + fs.journal_pos, JS_APPLIED);  // interrupted while written: discard
            fs.journal_pos += kJournalRecordSize;
        }
        break;
    }

    if (inode(fs.journal).size() != kAtomSize + fs.journal_size) {
        int r = journal_create(fs.journal);
        if (r <= 0)
            fs.journal = 0;
        return r;
    }
    return result;
}

int journal_create(int old)
{
    if (fs.journal_size == 0 || fs.spare_blocks == 0)
        return 0;
    journal_begin(old);
    int r = object_create(kJournalName, nullptr, static_cast<std::int32_t>(fs.journal_size), -fs.root, true);
    if (r < 0)
        return r;
    fs.record.flags = static_cast<std::uint8_t>(fs.record.flags & ~kFlagWritable);
    if (old != 0) {
        journal_commit(0);
    } else {
        journal_apply(OT_FILE);
        fs.journal_pos = kJournalFirstRecord;
    }
    return r;
}

int journal_push()
{
    if (fs.nesting >= 1)
        return -1;  // one level only: a second push would overwrite the saved record
    fs.saved_record = fs.record;
    fs.saved_carry_child = fs.carry_child;
    ++fs.nesting;
    return 0;
}

int journal_pop()
{
    if (fs.nesting <= 0)
        return -1;
    --fs.nesting;
    fs.record = fs.saved_record;
    fs.carry_child = fs.saved_carry_child;
    return 0;
}

}  // namespace flashfs
