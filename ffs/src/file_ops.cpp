// The operations the rest of the program calls: open, write, close, remove, mkdir, opendir,
// readdir, and the read-back operations read and stat.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "ffs.h"
#include "journal.h"
#include "objects.h"
#include "state.h"
#include "trace.h"

namespace flashfs {
namespace {

// The preamble of every API call: the device hooks around it, and its first refusal in one
// order for all calls. Argument checks that come before the mount's error are handed in (the
// directory calls and ffs_stat: the cursor, name buffer or record they fill, a negative size);
// then the mount's error. Every other check of a call follows it.
class ApiCall {
public:
    explicit ApiCall(bool arguments_ok = true) : refusal_(arguments_ok ? fs.initerror : FFS_E_INVALID)
    {
        device_api_enter();
    }
    ~ApiCall() { device_api_exit(); }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;

    // 0, or the code the call returns at once.
    int refusal() const { return refusal_; }

private:
    int refusal_;
};

// The record of a valid descriptor number, or null.
Descriptor* descriptor(int fd, int* index = nullptr)
{
    int i = fd - FFS_FD_BASE;
    if (i < 0 || i >= static_cast<int>(fs.fds.size()) || fs.fds[i].flags == 0)
        return nullptr;
    if (index)
        *index = i;
    return &fs.fds[i];
}

// The record index of a valid descriptor open for mode (FFS_O_READ or FFS_O_WRITE), or -25
// for an invalid descriptor and -17 for one not open that way.
int descriptor_open_for(int fd, int mode)
{
    int index = 0;
    const Descriptor* d = descriptor(fd, &index);
    if (d == nullptr)
        return FFS_E_BADFD;
    if (!(d->flags & mode))
        return FFS_E_INVALID;
    return index;
}

bool open_elsewhere(int inode_index, bool for_writing_only)
{
    for (const Descriptor& d : fs.fds) {
        if (d.flags != 0 && d.inode == inode_index && (!for_writing_only || (d.flags & FFS_O_WRITE)))
            return true;
    }
    return false;
}

// Loads the buffer with the data around the position, or starts it fresh at the file's end.
int load_buffer(Descriptor& d)
{
    int segment = 0;
    std::int32_t offset = 0;
    segment_find(d.inode, d.fp, &segment, &offset);
    if (d.size == 0 || (d.fp >= d.size && segment_datasize(segment) == fs.chunk_size)) {
        d.wfp = d.size;
        d.segment = 0;
        return 0;
    }
    if (segment_datasize(segment) > fs.chunk_size)
        return FFS_E_BADOP;  // a segment larger than a chunk cannot be rewritten whole
    segment_read(segment, d.buffer.data(), fs.stream_size, 0);
    d.wfp = d.fp - offset;
    d.segment = static_cast<std::int16_t>(segment);
    return 0;
}

// Replaces an existing file by an empty one at the end of its directory (the new object does
// not take over the old one's segments), then deletes the old segments one by one.
int truncate_file(int r, const char* leaf, int dir)
{
    fs.pending_truncation = static_cast<std::int16_t>(segment_next(r));  // a reclaim may move it
    journal_begin(r);
    fs.carry_child = false;
    int created = object_create(leaf, nullptr, 0, -dir);
    if (created < 0) {
        fs.pending_truncation = 0;
        return created;
    }
    const int table = fs.inodes;
    journal_commit(0);
    const int rest = fs.pending_truncation;
    fs.pending_truncation = 0;
    // A journal replacement in that commit may have moved the inode table: the copy left out
    // the old segments, which nothing reached any more, and their slots may hold new objects.
    if (rest > 0 && fs.inodes == table) {
        int removed = object_remove(rest);
        if (removed < 0)
            return removed;
    }
    return created;
}

std::int32_t file_size(int i)
{
    return segment_find(i, 0x7FFFFFFF, nullptr, nullptr);
}

// How many bytes from wfp the buffer may hold: a chunk, except when it holds an object that a
// later segment follows (only in images made elsewhere: a file object with data, a short
// segment). Its data then ends where the next segment's begins; writing past it would put
// the bytes in the wrong place and rewrite the object with more than it held.
std::int32_t buffer_span(const Descriptor& d)
{
    if (d.segment < 1 || segment_next(d.segment) == 0)
        return fs.chunk_size;
    return std::min(segment_datasize(d.segment), fs.chunk_size);
}

int datasync(int index)
{
    trace(TR_API, "datasync(%d) {", index);
    if (index < 0 || index >= static_cast<int>(fs.fds.size()) || fs.fds[index].flags == 0)
        return FFS_E_BADFD;
    Descriptor& d = fs.fds[index];
    if (!d.dirty)
        return 0;
    const std::int32_t length = std::min(d.size - d.wfp, buffer_span(d));
    const std::uint8_t* buffer = d.buffer.data();
    if (d.segment < 1) {
        journal_begin(0);
        int r = segment_create(buffer, length, d.inode);
        if (r < 0)
            return r;
        journal_commit(OT_SEGMENT);
    } else if (d.segment != d.inode) {
        journal_begin(d.segment);
        int r = segment_create(buffer, length, -d.segment);
        if (r < 0)
            return r;
        journal_commit(0);
    } else {
        journal_begin(d.inode);
        int r = object_create(object_name(d.inode), buffer, length, d.inode);
        if (r < 0)
            return r;
        d.inode = static_cast<std::int16_t>(r);
        journal_commit(0);
    }
    d.segment = 0;
    d.dirty = 0;
    trace(TR_API, "} %d", 0);
    return 0;
}

}  // namespace
}  // namespace flashfs

using namespace flashfs;

int ffs_open(const char* path, int flags)
{
    trace(TR_API, "ffs_open('%s', 0x%x) ?", path ? path : "", flags);
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    const bool reading = flags & FFS_O_READ;
    const bool writing = flags & FFS_O_WRITE;
    if (!reading && !writing)
        return FFS_E_INVALID;
    if (reading && !writing && flags != FFS_O_READ)
        return FFS_E_INVALID;

    auto free_record = std::find_if(fs.fds.begin(), fs.fds.end(), [](const Descriptor& d) { return d.flags == 0; });
    if (free_record == fs.fds.end())
        return FFS_E_NUMFD;
    const int index = static_cast<int>(free_record - fs.fds.begin());

    const char* leaf = nullptr;
    int dir = 0;
    const char* reached = path;
    int r = object_lookup(path, &leaf, &dir, &reached);
    if (r < 0 && r != FFS_E_NOTFOUND)
        return r;
    if (r > 0 && open_elsewhere(r, !writing))
        return FFS_E_LOCKED;

    Descriptor& d = fs.fds[index];
    d.dirty = d.wfp = d.size = d.fp = 0;
    d.segment = 0;
    if (r == FFS_E_NOTFOUND) {
        if ((flags & (FFS_O_WRITE | FFS_O_CREATE)) != (FFS_O_WRITE | FFS_O_CREATE))
            return FFS_E_NOTFOUND;
        int n = name_check(leaf);
        if (n < 0)
            return n;
        journal_begin(0);
        r = object_create(leaf, nullptr, 0, -dir);
        if (r < 0)
            return r;
        journal_commit(OT_FILE);
    } else {
        if (writing) {
            if ((flags & (FFS_O_CREATE | FFS_O_EXCL)) == (FFS_O_CREATE | FFS_O_EXCL))
                return FFS_E_EXISTS;
            // Judged by the file's own path: a link must not open a protected file for writing.
            int p = is_protected(r, reached);
            if (p < 0)
                return p;
        }
        if (inode(r).type() == OT_DIR)
            return FFS_E_NOTAFILE;
        if (flags & FFS_O_TRUNC) {
            r = truncate_file(r, leaf, dir);
            if (r < 0)
                return r;
        } else {
            d.size = file_size(r);
            if (flags & FFS_O_APPEND)
                d.fp = d.size;
        }
    }
    if (writing) {
        try {
            d.buffer.assign(static_cast<std::size_t>(fs.stream_size), 0);
        } catch (const std::bad_alloc&) {
            return FFS_E_MEMORY;
        }
    }
    d.inode = static_cast<std::int16_t>(r);
    d.flags = static_cast<std::uint8_t>(flags);
    return index + FFS_FD_BASE;
}

int ffs_write_b(int fd, const void* source, int count)
{
    trace(TR_API, "ffs_write_b(%d, 0x%x, %d) ?", fd, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(source)),
          count);
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    if (count < 0 || source == nullptr)
        return FFS_E_INVALID;
    const int index = descriptor_open_for(fd, FFS_O_WRITE);
    if (index < 0)
        return index;
    Descriptor* d = &fs.fds[index];
    if (d->flags & FFS_O_APPEND)
        d->fp = d->size;
    if (d->fp >= d->wfp + buffer_span(*d)) {
        int r = datasync(index);
        if (r < 0)
            return r;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    int copied = 0;
    while (copied < count) {
        if (!d->dirty) {
            int r = load_buffer(*d);
            if (r < 0)
                return r;
        }
        d->dirty = 1;
        const std::int32_t span = buffer_span(*d);
        const int k = std::min(span - (d->fp - d->wfp), count - copied);
        if (k <= 0 || d->fp < d->wfp)
            return FFS_E_CORRUPTED;  // the buffer cannot take the position: never spin on it
        std::memcpy(d->buffer.data() + (d->fp - d->wfp), bytes + copied, static_cast<std::size_t>(k));
        d->fp += k;
        copied += k;
        d->size = std::max(d->size, d->fp);
        if (d->fp >= d->wfp + span) {
            int r = datasync(index);
            if (r < 0)
                return r;
        }
    }
    return count;
}

int ffs_close(int fd)
{
    trace(TR_API, "ffs_close(%d) ?", fd);
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    int index = 0;
    Descriptor* d = descriptor(fd, &index);
    if (d == nullptr)
        return FFS_E_BADFD;
    if (d->flags & FFS_O_WRITE) {
        int r = datasync(index);
        if (r < 0)
            return r;
        d->buffer.clear();  // its memory stays for the next open for writing
    }
    d->inode = 0;
    d->fp = 0;
    d->flags = 0;
    return 0;
}

int ffs_remove(const char* path)
{
    trace(TR_API, "ffs_remove('%s') ?", path ? path : "");
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    int r = path_lookup(path);
    if (r < 0)
        return r;
    if (open_elsewhere(r, false))
        return FFS_E_LOCKED;
    int p = is_protected(r, path);
    if (p < 0)
        return p;
    return object_remove(r);
}

int ffs_mkdir(const char* path)
{
    trace(TR_API, "ffs_mkdir('%s') ?", path ? path : "");
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    const char* leaf = nullptr;
    int dir = 0;
    int r = object_lookup(path, &leaf, &dir);
    if (r >= 0)
        return FFS_E_EXISTS;
    if (r != FFS_E_NOTFOUND)
        return r;
    journal_begin(0);
    r = object_create(leaf, nullptr, 0, -dir);
    if (r < 0)
        return r;
    journal_commit(OT_DIR);
    return 0;
}

int ffs_opendir(const char* path, ffs_dir* cursor)
{
    trace(TR_API, "ffs_opendir('%s', ?) ?", path ? path : "");
    ApiCall call(cursor != nullptr);
    if (int refused = call.refusal())
        return refused;
    int r = dir_lookup(path);
    if (r < 0)
        return r;
    cursor->this_dir = cursor->index = static_cast<std::int16_t>(r);
    int count = 0;
    int loop = chain_last(-r, &count, nullptr);
    return loop < 0 ? loop : count;
}

int ffs_readdir(ffs_dir* cursor, char* name, int size)
{
    trace(TR_API, "ffs_readdir(?, ?, ?) ?");
    ApiCall call(cursor != nullptr && name != nullptr && size >= 0);
    if (int refused = call.refusal())
        return refused;
    int c = dir_next(cursor->this_dir, cursor->index, name, size);
    if (c != 0)
        cursor->index = static_cast<std::int16_t>(c);
    return c;
}

int ffs_read(int fd, void* destination, int count)
{
    trace(TR_API, "ffs_read(%d, ?, %d) ?", fd, count);
    ApiCall call;
    if (int refused = call.refusal())
        return refused;
    if (destination == nullptr || count < 0)
        return FFS_E_INVALID;
    const int index = descriptor_open_for(fd, FFS_O_READ);
    if (index < 0)
        return index;
    Descriptor* d = &fs.fds[index];
    if (d->dirty) {
        int r = datasync(index);
        if (r < 0)
            return r;
    }
    auto* out = static_cast<std::uint8_t*>(destination);
    int total = 0;
    int segment = 0;
    std::int32_t offset = 0;
    segment_find(d->inode, d->fp, &segment, &offset);
    // Once a segment is read to its end the next one follows from its start (segments without
    // data are passed over), so a long read does not look for its place again for each one.
    for (int budget = inode_slots(); total < count && segment > 0;) {
        std::int32_t n = segment_read(segment, out + total, count - total, offset);
        if (n > 0) {
            total += n;
            d->fp += n;
        }
        segment = segment_next(segment, budget);
        offset = 0;
    }
    return total;
}

int ffs_stat(const char* path, ffs_stat_info* info)
{
    trace(TR_API, "ffs_stat('%s', ?) ?", path ? path : "");
    ApiCall call(info != nullptr);
    if (int refused = call.refusal())
        return refused;
    int r = path_lookup(path);
    if (r < 0)
        return r;
    InodeRecord rec = inode(r);
    *info = ffs_stat_info{};
    info->inode = static_cast<std::int16_t>(r);
    info->type = rec.type();
    info->flags = rec.flags();
    info->read_only = !(rec.flags() & kFlagWritable);
    info->location = rec.location();
    info->object_size = rec.size();
    info->sequence = rec.sequence();
    info->updates = rec.updates();
    if (rec.type() == OT_FILE) {
        info->size = file_size(r);
        int budget = inode_slots();
        for (int s = segment_next(r, budget); s > 0; s = segment_next(s, budget))
            ++info->segments;
    } else {
        info->size = object_data_length(r);
    }
    return 0;
}
