// Paths, names, access checks, creating and removing objects.
#include "objects.h"

#include <cstring>

#include "alloc.h"
#include "ffs.h"
#include "journal.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

bool name_matches(int i, const char* component, const char* end)
{
    const char* stored = object_name(i);
    std::size_t length = static_cast<std::size_t>(end - component);
    return std::strlen(stored) == length && std::memcmp(stored, component, length) == 0;
}

bool is_named_entry(int i)
{
    int type = inode(i).type();
    return type == OT_FILE || type == OT_DIR || type == OT_LINK;
}

// First entry of directory d named [component, end), 0 when none, or a loop.
int find_entry(int d, const char* component, const char* end)
{
    return for_each_entry(d, [&](int e) { return is_named_entry(e) && name_matches(e, component, end) ? e : 0; });
}

}  // namespace

int path_lookup(const char* path, const char** leaf, int* dir_out)
{
    if (path == nullptr || path[0] != '/')
        return FFS_E_BADNAME;
    const char* p = path + 1;
    if (*p == 0) {
        if (leaf)
            *leaf = p;
        if (dir_out)
            *dir_out = 0;
        return fs.root;
    }
    int dir = fs.root;
    int level = 1;
    int result;
    for (;;) {
        const char* end = p;
        while (*end != 0 && *end != '/')
            ++end;
        if (inode(dir).child() == kNoInode) {
            result = FFS_E_NOTFOUND;
            break;
        }
        int match = find_entry(dir, p, end);
        if (match < 0) {
            result = match;
            break;
        }
        if (match == 0) {
            result = *end == 0 ? FFS_E_NOTFOUND : FFS_E_NOTADIR;
            break;
        }
        if (*end == 0) {
            result = match;
            break;
        }
        if (inode(match).type() != OT_DIR) {
            result = FFS_E_NOTADIR;
            break;
        }
        if (++level > fs.path_depth_max) {
            result = FFS_E_PATHTOODEEP;
            break;
        }
        dir = match;
        p = end + 1;
    }
    if (leaf)
        *leaf = p;
    if (dir_out)
        *dir_out = dir;
    return result;
}

namespace {

// The target path is the link's data, ended by the 0 after it.
const char* link_target(int i)
{
    return object_data_length(i) > 0 ? reinterpret_cast<const char*>(object_data(i)) : "";
}

}  // namespace

int object_lookup(const char* path, const char** leaf, int* dir, const char** reached)
{
    trace(TR_LOOKUP, "olu(%s){", path ? path : "");
    if (reached)
        *reached = path;
    int r = path_lookup(path, leaf, dir);
    if (r > 0 && inode(r).type() == OT_LINK) {
        const char* target = link_target(r);
        if (reached)
            *reached = target;
        r = path_lookup(target, leaf, dir);
        if (r > 0 && inode(r).type() != OT_FILE)
            r = FFS_E_NOTAFILE;
    }
    trace(TR_LOOKUP, "} %d", r);
    return r;
}

int dir_lookup(const char* path)
{
    int r = object_lookup(path);
    if (r >= 0 && inode(r).type() != OT_DIR)
        return FFS_E_NOTADIR;
    return r;
}

int name_check(const char* name)
{
    if (name == nullptr)
        return FFS_E_BADNAME;
    std::size_t length = 0;
    for (; name[length] != 0; ++length) {
        if (is_forbidden_name_char(name[length]))
            return FFS_E_BADNAME;
    }
    if (length > fs.filename_max)
        return FFS_E_NAMETOOLONG;
    if (length == 0)
        return FFS_E_BADNAME;
    return static_cast<int>(length);
}

int is_protected(int i, const char* path)
{
    if (i == fs.root || i == fs.journal)
        return FFS_E_ACCESS;
    if (inode(i).flags() & kFlagWritable)
        return i;
    std::size_t length = path ? std::strlen(path) : 0;
    if (length >= 4 && std::strcmp(path + length - 4, "IMEI") == 0)
        return FFS_E_ACCESS;
    return i;
}

int object_alloc(std::int32_t size, bool journal)
{
    if (size < 0)
        return FFS_E_INVALID;
    const BlockStat& table = fs.block_stat[fs.inodes];
    if (table.used - table.lost >= fs.objects_max) {
        trace(TR_LOOKUP, "} %d", FFS_E_FSFULL);
        return FFS_E_FSFULL;
    }
    std::uint32_t address = journal ? data_alloc_reserved(size) : data_alloc(size);
    if (address == 0) {
        trace(TR_ALLOC, "} %d", FFS_E_NOSPACE);
        return FFS_E_NOSPACE;
    }
    fs.record.location = address >> dev.atomlog2;
    int i = inode_alloc();
    fs.record.new_inode = static_cast<std::int16_t>(i);
    if (i == 0) {
        trace(TR_LOOKUP, "} %d", FFS_E_FSFULL);
        return FFS_E_FSFULL;
    }
    return i;
}

int object_create(const char* name, const std::uint8_t* data, std::int32_t length, int link_request, bool is_journal)
{
    trace(TR_CREATE, "ocr(%s){", name ? name : "");
    if (name == nullptr || length < 0)
        return FFS_E_INVALID;
    int name_length = link_request != 0 ? name_check(name) : static_cast<int>(std::strlen(name));
    if (name_length < 0)
        return name_length;
    if (name_length > kMaxNameLength) {
        trace(TR_FAULT, "object_create(%x, %d, %d) fail, namelength=%d",
              static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(data)), length, link_request, name_length);
        return FFS_E_NAMETOOLONG;
    }
    if (!is_journal && data == nullptr && length > 0)
        return FFS_E_INVALID;
    std::uint32_t size = object_size(static_cast<std::uint32_t>(name_length), static_cast<std::uint32_t>(length));
    if (size > dev.blocksize - kBlockHeaderSize)
        return FFS_E_FILETOOBIG;  // no block could hold it
    fs.record.size = static_cast<std::uint16_t>(size);
    fs.record.link = static_cast<std::int16_t>(link_request);

    char stored_name[kMaxNameLength + 1];
    std::memcpy(stored_name, name, static_cast<std::size_t>(name_length));
    stored_name[name_length] = 0;

    int r = object_alloc(static_cast<std::int32_t>(size), is_journal);
    if (r < 0)
        return r;

    const std::uint32_t at = location_offset(fs.record.location);
    flash_write(at, stored_name, static_cast<std::uint32_t>(name_length) + 1);
    if (length > 0) {
        const std::uint32_t data_at = at + static_cast<std::uint32_t>(name_length) + 1;
        if (!is_journal)
            flash_write(data_at, data, static_cast<std::uint32_t>(length));
        flash_write8(data_at + static_cast<std::uint32_t>(length), 0);
    }

    // A reclaim during the allocation may have moved the object the link request names; the
    // record carries the request as it is now.
    const int request = fs.record.link;
    fs.record.link = 0;
    if (request != 0) {
        int last = 0;
        if (chain_last(request, nullptr, &last) < 0)
            return FFS_E_SIBLINGLOOP;
        fs.record.link = static_cast<std::int16_t>(last);
    }
    trace(TR_CREATE, "} %d", r);
    return r;
}

int segment_create(const std::uint8_t* data, std::int32_t length, int link_request)
{
    trace(TR_API, "segc(%d, %d){", length, link_request);
    const std::uint32_t size = segment_size(static_cast<std::uint32_t>(length));
    fs.record.size = static_cast<std::uint16_t>(size);
    fs.record.link = static_cast<std::int16_t>(link_request);
    int r = object_alloc(static_cast<std::int32_t>(size), false);
    if (r < 0)
        return r;
    const std::uint32_t at = location_offset(fs.record.location);
    flash_write(at, data, static_cast<std::uint32_t>(length));
    flash_write8(at + static_cast<std::uint32_t>(length), 0);
    const int request = fs.record.link;  // as a reclaim during the allocation may have left it
    fs.record.link = static_cast<std::int16_t>(request > 0 ? -segment_last(request) : -request);
    trace(TR_API, "} %d", r);
    return r;
}

int object_remove(int i)
{
    if (!inode_in_range(i))
        return FFS_E_INVALID;
    if (inode(i).type() == OT_DIR) {
        int count = 0;
        int loop = chain_last(-i, &count, nullptr);
        if (loop < 0)
            return loop;
        if (count > 0)
            return FFS_E_DIRNOTEMPTY;
        journal_begin(i);
        fs.record.location = 0;
        journal_apply(0);
        return 0;
    }
    int budget = inode_slots();
    for (int s = i; s > 0; s = segment_next(s, budget)) {
        journal_begin(s);
        fs.record.location = 0;
        journal_apply(0);
    }
    return 0;
}

}  // namespace flashfs
