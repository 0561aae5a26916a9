// The format parameters of a mounted FFS: their defaults for the device, the letters of the
// root name's list that replace them, and the limits the layout sets on them.
#include "params.h"

#include <algorithm>
#include <cstring>

#include "device.h"
#include "layout.h"
#include "state.h"
#include "trace.h"

namespace flashfs {

void fs_params_parse(const char* name)
{
    fs.filename_max = kMaxNameLength;
    fs.path_depth_max = 6;
    fs.numfds = 4;
    fs.journal_size = 16;
    fs.param_t = 231;
    fs.param_z = 0;
    fs.block_objects_max = 0;

    const std::int64_t blocksize = dev.blocksize;
    fs.spare_blocks = dev.numblocks > 2 ? 1 : 0;
    const std::int64_t data_blocks = dev.numblocks - fs.spare_blocks - 1;
    fs.inodes_max = static_cast<std::int16_t>(inode_slots());
    fs.objects_max = static_cast<std::int16_t>(fs.inodes_max / 2);
    fs.chunk_size = dev.numblocks * blocksize > 0x100000
                        ? 8192
                        : static_cast<std::int32_t>(std::min<std::int64_t>(blocksize / 8, 2048));
    fs.stream_size = fs.chunk_size;
    fs.journal_size = static_cast<std::uint32_t>(std::max<std::int64_t>(fs.journal_size * blocksize / 256, 1024));
    fs.block_objects_max = static_cast<std::int16_t>(fs.journal_size / 16 - 6);
    if (fs.block_objects_max > fs.objects_max / 2)
        fs.block_objects_max = static_cast<std::int16_t>(fs.objects_max / 2 - 4);
    if (fs.objects_max > fs.block_objects_max * data_blocks)
        fs.objects_max = static_cast<std::int16_t>(fs.block_objects_max * data_blocks + 10);
    fs.reserved_space =
        static_cast<std::int32_t>(blocksize / 2 + data_blocks * blocksize / 16 + 2 * std::int64_t{fs.journal_size});

    const char* p = name ? std::strchr(name, '/') : nullptr;
    p = p ? std::strchr(p + 1, '/') : nullptr;
    if (p) {
        ++p;
        while (*p) {
            char letter = *p++;
            std::uint32_t value = 0;
            while (*p >= '0' && *p <= '9')
                value = value * 10 + static_cast<std::uint32_t>(*p++ - '0');
            switch (letter) {
                case 'b':
                    dev.numblocks = static_cast<std::uint8_t>(value);
                    break;
                case 'c':
                    fs.chunk_size = static_cast<std::int32_t>(value);
                    break;
                case 'd':
                    fs.numfds = static_cast<std::uint8_t>(value);
                    break;
                case 'f':
                    fs.block_objects_max = static_cast<std::int16_t>(value);
                    break;
                case 'i':
                    fs.inodes_max = static_cast<std::int16_t>(value);
                    break;
                case 'j':
                    fs.journal_size = value;
                    break;
                case 'm':
                    fs.spare_blocks = static_cast<std::int8_t>(value);
                    break;
                case 'n':
                    fs.filename_max = static_cast<std::uint8_t>(value);
                    break;
                case 'o':
                    fs.objects_max = static_cast<std::int16_t>(value);
                    break;
                case 'r':
                    fs.reserved_space = static_cast<std::int32_t>(value);
                    break;
                case 's':
                    fs.stream_size = static_cast<std::int32_t>(value);
                    break;
                case 't':
                    fs.param_t = static_cast<std::uint8_t>(value);
                    break;
                case 'z':
                    fs.param_z = static_cast<std::uint8_t>(value);
                    break;
                default:
                    break;
            }
        }
    }

    if (fs.journal_size == 0) {
        fs.block_objects_max = static_cast<std::int16_t>(fs.objects_max / 2);
        fs.reserved_space = 0;
        fs.objects_reserve = 0;
    } else {
        if (fs.journal_size < 1024)
            fs.journal_size = static_cast<std::uint32_t>(std::uint64_t{fs.journal_size} * dev.blocksize / 256);
        if (2 * std::int64_t{fs.journal_size} > fs.reserved_space)
            fs.reserved_space = static_cast<std::int32_t>(std::int64_t{fs.reserved_space} * dev.blocksize / 256);
        fs.objects_reserve = 2;
    }
}

int fs_params_check()
{
    const std::uint32_t room = dev.blocksize - kBlockHeaderSize;  // what one object may occupy
    bool ok = dev.numblocks >= 1 && dev.numblocks <= kDeviceBlocks && fs.inodes < dev.numblocks && fs.chunk_size > 0 &&
              object_size(kMaxNameLength, static_cast<std::uint32_t>(fs.chunk_size)) <= room &&
              fs.stream_size >= fs.chunk_size && fs.stream_size <= static_cast<std::int32_t>(dev.blocksize) &&
              fs.inodes_max > 0 && fs.inodes_max <= inode_slots() && fs.reserved_space >= 0 && fs.spare_blocks >= 0 &&
              fs.spare_blocks < dev.numblocks &&
              (fs.journal_size == 0 || (fs.journal_size % kAtomSize == 0 && fs.journal_size >= 128 &&
                                        object_size(sizeof kJournalName - 1, fs.journal_size) <= room));
    // Objects outside the blocks or slots in use would be invisible to reclaim and get lost. Only
    // parameters that narrow the table or the area can leave any: inodes_fsck held every object
    // to the device's area.
    const bool narrowed = fs.inodes_max < inode_slots() || dev.numblocks < device_description.numblocks;
    for (int i = 1; ok && narrowed && i < inode_slots(); ++i) {
        if (const int run = erased_slots(i, inode_slots()); run > 0) {
            i += run - 1;
            continue;
        }
        InodeRecord r = inode(i);
        if (r.used() && (i >= fs.inodes_max || (r.valid() && location_block(r.location()) >= dev.numblocks)))
            ok = false;
    }
    if (!ok)
        trace(TR_FAULT, "[ffs] format parameters out of range");
    return ok ? 0 : FFS_E_BADFORMAT;
}

}  // namespace flashfs
