// Walking the chains of the inode table: directory entries and file segments.
#include <algorithm>
#include <bitset>
#include <cstring>
#include <vector>

#include "ffs.h"
#include "objects.h"
#include "state.h"

namespace flashfs {
namespace {

// No walk in a sound table passes more inodes than the table has slots.
int walk_budget()
{
    return inode_slots();
}

struct ChainEnd {
    int last;
    int count;  // valid inodes passed
    bool loop;
};

// Follows sibling links from `start`; "last" starts as `initial`.
ChainEnd walk_siblings(int start, int initial)
{
    ChainEnd end{initial, 0, false};
    int steps = walk_budget();
    for (int e = start; inode_in_range(e);) {
        const InodeRecord r = inode(e);
        if (--steps < 0 || r.sibling() == e) {
            end.loop = true;
            break;
        }
        if (record_live(r))
            ++end.count;
        end.last = e;
        e = r.sibling();
    }
    return end;
}

}  // namespace

int chain_last(int a, int* count, int* last)
{
    int start = a < 0 ? inode(-a).child() : a;
    ChainEnd end = walk_siblings(start, a);
    if (count)
        *count = end.count;
    if (last)
        *last = end.last;
    return end.loop ? FFS_E_SIBLINGLOOP : 0;
}

int dir_last(int a, int* count)
{
    int last = a;
    int result = chain_last(a, count, &last);
    return result < 0 ? result : last;
}

int dir_next(int d, int current, char* buffer, int size)
{
    if (!inode_in_range(d) || !inode_in_range(current))
        return 0;
    int steps = walk_budget();
    for (int e = current == d ? inode(d).child() : inode(current).sibling(); inode_in_range(e) && steps-- > 0;
         e = inode(e).sibling()) {
        if (!inode_live(e))
            continue;
        // The name always ends in a NUL inside the buffer: a short buffer gets it cut, never
        // unterminated.
        if (buffer && size > 0) {
            const char* name = object_name(e);
            std::size_t n = std::min<std::size_t>(std::strlen(name), static_cast<std::size_t>(size) - 1);
            std::memcpy(buffer, name, n);
            buffer[n] = '\0';
        }
        return e;
    }
    return 0;
}

int segment_next(int i)
{
    int budget = walk_budget();
    return segment_next(i, budget);
}

int segment_next(int i, int& budget)
{
    if (!inode_in_range(i) || inode(i).type() == OT_DIR)
        return 0;
    int e = inode(i).child();
    while (inode_in_range(e)) {
        int last = e;
        for (int s = e; inode_in_range(s);) {
            if (--budget < 0)
                return 0;
            const InodeRecord r = inode(s);
            if (record_live(r))
                return s;
            last = s;
            s = r.sibling();
        }
        e = inode(last).child();
    }
    return 0;
}

int segment_last(int i)
{
    int current = i;
    int steps = walk_budget();
    while (inode_in_range(inode(current).child())) {
        int e = inode(current).child();
        while (inode_in_range(inode(e).sibling()) && steps-- > 0)
            e = inode(e).sibling();
        if (--steps < 0)
            break;
        current = e;
    }
    return current;
}

std::int32_t segment_datasize(int i)
{
    if (!inode_in_range(i))
        return 0;
    const InodeRecord r = inode(i);
    return record_live(r) ? record_data_length(r) : 0;
}

std::int32_t segment_read(int i, std::uint8_t* destination, std::int32_t count, std::int32_t position)
{
    if (destination == nullptr || count < 0 || position < 0)
        return FFS_E_INVALID;
    std::int32_t n = std::min(segment_datasize(i) - position, count);
    if (n <= 0)
        return 0;
    std::memcpy(destination, object_data(i) + position, static_cast<std::size_t>(n));
    return n;
}

std::int32_t segment_find(int i, std::int32_t offset, int* segment, std::int32_t* segment_offset)
{
    if (!inode_live(i)) {
        if (segment)
            *segment = 0;
        if (segment_offset)
            *segment_offset = 0;
        return 0;
    }
    std::int32_t start = 0;
    int last = i;
    int budget = walk_budget();
    for (int s = i; s > 0; s = segment_next(s, budget)) {
        std::int32_t length = segment_datasize(s);
        if (offset >= start && offset - start < length) {
            if (segment)
                *segment = s;
            if (segment_offset)
                *segment_offset = offset - start;
            return offset;
        }
        start += length;
        last = s;
    }
    if (segment)
        *segment = last;
    if (segment_offset)
        *segment_offset = segment_datasize(last);
    return start;
}

int tree_check()
{
    // Kept from mount to mount: every mount walks the tree, and allocating afresh each time
    // cost more than a walk of a small tree.
    static std::vector<int> pending;
    static std::vector<int> dirs;  // of the directory being walked, so far
    std::bitset<kMaxInodeSlots> seen;
    pending.assign(1, fs.root);
    seen[fs.root] = true;
    while (!pending.empty()) {
        int d = pending.back();
        pending.pop_back();
        dirs.clear();
        int r = for_each_entry(d, [&](int e) -> int {
            if (inode(e).type() == OT_DIR) {
                if (seen[e])
                    return FFS_E_SIBLINGLOOP;
                seen[e] = true;
                // A directory replaced (relocated) is linked behind its old inode with the same
                // entries; a power cut before the old one is deleted leaves both. That is no
                // loop: the journal's replay deletes the old one. Its entries are walked once.
                const bool twin =
                    inode(e).child() != kNoInode && std::any_of(dirs.begin(), dirs.end(), [e](int o) {
                        return inode(o).child() == inode(e).child() && std::strcmp(object_name(o), object_name(e)) == 0;
                    });
                dirs.push_back(e);
                if (!twin)
                    pending.push_back(e);
                return 0;
            }
            int budget = walk_budget();
            for (int s = segment_next(e, budget); s > 0; s = segment_next(s, budget)) {
            }
            return budget < 0 ? FFS_E_SIBLINGLOOP : 0;
        });
        if (r < 0)
            return r;
    }
    return 0;
}

}  // namespace flashfs
