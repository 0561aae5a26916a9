#include "mount.h"

#include <algorithm>
#include <cstring>

#include "blocks.h"
#include "device.h"
#include "inodes_reclaim.h"
#include "journal.h"
#include "objects.h"
#include "params.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

// A journal replayed at mount makes the pass run again; damaged journals may hold more than one
// complete record, so a few passes more are allowed before the mount gives up.
constexpr int kMaxMountPasses = 4;

bool has_magic(std::uint32_t h)
{
    return flash_read16(h + header_offset::magic_low) == kMagicLow &&
           flash_read16(h + header_offset::magic_high) == kMagicHigh;
}

bool header_erased(std::uint32_t h)
{
    for (std::uint32_t o : {header_offset::magic_low, header_offset::magic_high, header_offset::version,
                            header_offset::age, header_offset::state}) {
        if (flash_read16(h + o) != 0xFFFF)
            return false;
    }
    return true;
}

// Age tracking over the blocks that carry the magic.
struct AgeTracker {
    bool any = false;
    std::uint16_t low = 0, high = 0, spread = 0;

    void add(std::uint16_t age)
    {
        if (!any) {
            any = true;
            low = high = age;
            return;
        }
        std::uint16_t d1 = age_distance(age, low);
        std::uint16_t d2 = age_distance(age, high);
        if (d1 > spread || d2 > spread) {
            if (d2 > d1) {
                spread = d2;
                low = age;
            } else {
                spread = d1;
                high = age;
            }
        }
    }

    std::uint16_t youngest()
    {
        if (high == 0)
            low = high = 0xFFFF;
        if (static_cast<std::uint16_t>(high - low) > 0x8000)
            std::swap(low, high);
        return high;
    }
};

// The journal is a read-only file; a writable ".journal" is a user's file.
bool is_journal_candidate(int i)
{
    InodeRecord r = inode(i);
    return r.type() == OT_FILE && !(r.flags() & kFlagWritable) && std::strcmp(object_name(i), kJournalName) == 0;
}

// The first record that is not applied: pending when it is complete.
bool journal_has_pending_record(int i)
{
    InodeRecord r = inode(i);
    std::uint32_t end = object_offset(i) + r.size();
    for (std::uint32_t pos = object_offset(i) + kJournalFirstRecord; pos + kJournalRecordSize <= end;
         pos += kJournalRecordSize) {
        std::uint8_t state = *offset_addr(pos);
        if (state != JS_APPLIED)
            return state == JS_COMPLETE;
    }
    return false;
}

// The journal is the ".journal" file directly in the root. Should an interrupted replacement
// have left two, the one with a complete record still to apply is the current one (its replay
// deletes the other); otherwise the later slot wins.
int find_journal()
{
    int chosen = 0;
    int r = for_each_entry(fs.root, [&](int e) {
        if (is_journal_candidate(e) &&
            (chosen == 0 || (journal_has_pending_record(e) && !journal_has_pending_record(chosen)) ||
             (e > chosen && journal_has_pending_record(e) == journal_has_pending_record(chosen))))
            chosen = e;
        return 0;
    });
    return r < 0 ? 0 : chosen;
}

bool links_in_range(InodeRecord r)
{
    auto ok = [](std::int16_t link) { return link == kNoInode || inode_in_range(link); };
    return ok(r.child()) && ok(r.sibling());
}

// A valid inode must describe an object inside one block, and a named object must hold its
// name's end.
bool inode_sound(int i)
{
    InodeRecord r = inode(i);
    if (!links_in_range(r))
        return false;
    if (!r.valid())
        return true;
    if (!object_in_bounds(r.location(), r.size()))
        return false;
    return r.type() == OT_SEGMENT || stored_name_length(object_addr(i), r.size()) > 0;
}

// Finishes the mount once the passes are done.
int finish_mount(int cleaning)
{
    fs.fds.assign(fs.numfds, Descriptor{});
    if (cleaning > 0) {
        inodes_forget_block(cleaning - 1);
        block_free(cleaning - 1);
    }
    trace(TR_MOUNT, "} %d", fs.initerror);
    return fs.initerror;
}

}  // namespace

int blocks_fsck()
{
    trace(TR_FSCK, "blocks_fsck {");
    fs.format = 0;
    fs.inodes = -1;
    fs.newinodes = -1;
    int lost_inodes = -1;
    int cleaning = 0;
    AgeTracker ages;

    for (int b = 0; b < dev.numblocks; ++b) {
        std::uint32_t h = block_offset(b);
        BlockStat& s = fs.block_stat[b];
        s.used = s.lost = static_cast<std::int32_t>(dev.blocksize);
        s.state = flash_read16(h + header_offset::state);
        s.objects = 0;
        if (has_magic(h)) {
            fs.format = flash_read16(h + header_offset::version);
            if (s.state != BS_FREE) {
                s.used = block_used_bytes(b);
                s.lost = s.used - static_cast<std::int32_t>(kBlockHeaderSize);
            }
            switch (s.state) {
                case BS_FREE:
                    s.used = s.lost = 0;
                    break;
                case BS_DATA:
                    break;
                case BS_CLEANING:
                    cleaning = b + 1;
                    break;
                case BS_COPYING:
                    fs.newinodes = static_cast<std::int8_t>(b);
                    break;
                case BS_INODES:
                    fs.inodes = static_cast<std::int8_t>(b);
                    break;
                case BS_INODESLOST:
                    lost_inodes = b;
                    break;
                default:
                    block_free(b);
                    break;
            }
            trace(TR_FSCK, "%s", block_state_name(s.state));
            ages.add(flash_read16(h + header_offset::age));
        } else if (flash_read16(h + header_offset::version) == kOldFormatMark &&
                   flash_read16(h + header_offset::age) == kOldFormatVersion) {
            fs.format = kOldFormatVersion;
            s.state = BS_DATA;
        } else if (header_erased(h)) {
            s.used = s.lost = 0;
            s.state = BS_ERASED;
        } else {
            flash_write16(h + header_offset::age, 0);
            block_free(b);
        }
    }
    fs.age_max = ages.youngest();
    trace(TR_MOUNT, "fs.inodes, newinodes = %d, %d", fs.inodes, fs.newinodes);

    for (int b = 0; b < dev.numblocks; ++b) {
        BlockStat& s = fs.block_stat[b];
        if (s.state != BS_ERASED)
            continue;
        s.used = block_used_bytes(b);
        if (s.used == 0)
            block_preformat(b, 0);
        else
            block_free(b);
    }

    if (fs.inodes >= 0) {
        if (fs.newinodes >= 0)
            block_free(fs.newinodes);
    } else if (fs.newinodes >= 0 && lost_inodes >= 0) {
        fs.inodes = static_cast<std::int8_t>(lost_inodes);
        block_commit();
    } else {
        trace(TR_FSCK, "} %d", FFS_E_NOFORMAT);
        return FFS_E_NOFORMAT;
    }

    if ((fs.format >> 8) != 2) {
        trace(TR_FSCK, "} %d", FFS_E_BADFORMAT);
        return FFS_E_BADFORMAT;
    }
    trace(TR_FSCK, "} %d", cleaning);
    return cleaning;
}

int inodes_fsck()
{
    trace(TR_FSCK, "inodes_fsck {");
    fs.root = 0;
    fs.journal = 0;
    BlockStat& table = fs.block_stat[fs.inodes];
    table.objects = 1;
    table.used = 0;
    table.lost = 0;
    fs.sequence = 0;
    fs.inodes_max = static_cast<std::int16_t>(inode_slots());

    for (int i = 1; i < fs.inodes_max; ++i) {
        if (const int run = erased_slots(i, fs.inodes_max); run > 0) {
            fs.sequence = 0xFFFF;  // what the sequence of a never-written slot reads
            i += run - 1;
            continue;
        }
        InodeRecord r = inode(i);
        if (r.sequence() > fs.sequence)
            fs.sequence = r.sequence();
        if (!r.used())
            continue;
        ++table.used;
        if (!inode_sound(i)) {
            trace(TR_FSCK, "} %d", FFS_E_CORRUPTED);
            return FFS_E_CORRUPTED;
        }
        if (!r.valid()) {
            ++table.lost;
            continue;
        }
        BlockStat& s = fs.block_stat[location_block(r.location())];
        s.lost -= r.size();
        ++s.objects;
        if (r.type() == OT_DIR && object_name(i)[0] == '/')
            fs.root = static_cast<std::int16_t>(i);
    }
    if (fs.root != 0) {
        int loop = tree_check();
        if (loop < 0) {
            trace(TR_FSCK, "} %d", loop);
            return loop;
        }
        fs.journal = static_cast<std::int16_t>(find_journal());
    }
    trace(TR_MOUNT, "fs.root=%d, journal=%d", fs.root, fs.journal);
    fs.sequence = static_cast<std::uint16_t>(fs.sequence + 1);
    if (fs.root == 0) {
        trace(TR_FSCK, "} %d", FFS_E_NOFORMAT);
        return FFS_E_NOFORMAT;
    }
    trace(TR_FSCK, "} %d", 0);
    return 0;
}

}  // namespace flashfs

int ffs_initialize()
{
    using namespace flashfs;
    trace(TR_MOUNT, "initialize {");
    fs = FileSystem{};
    reclaim_reseed();
    fs.initerror = ffs_dev_init();
    if (fs.initerror < 0)
        return fs.initerror;

    int cleaning = 0;
    int result = 0;
    for (int pass = 1; pass <= kMaxMountPasses; ++pass) {
        fs.initerror = FFS_E_INVALID;
        result = blocks_fsck();
        fs.initerror = result;
        if (result < 0)
            return result;
        cleaning = result;
        fs.initerror = FFS_E_INVALID;
        result = inodes_fsck();
        fs.initerror = result;
        if (result < 0)
            return result;
        fs_params_parse(object_name(fs.root));
        result = fs_params_check();
        fs.initerror = result;
        if (result < 0)
            return result;
        result = journal_init(fs.journal);
        fs.initerror = result;
        if (result == 0 || (result < 0 && pass >= 2))
            break;
    }
    if (result > 0) {
        fs.initerror = FFS_E_CORRUPTED;  // the journal kept asking for another pass
        return fs.initerror;
    }
    return finish_mount(cleaning);
}
