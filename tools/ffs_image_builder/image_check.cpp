#include "image_check.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

namespace ffs_image {
namespace {

bool has_magic(const std::uint8_t* area, int b)
{
    return read16(area, block_start(b)) == kMagic0 && read16(area, block_start(b) + 2) == kMagic1;
}

std::uint32_t high_water(const std::uint8_t* area, int b)
{
    for (std::uint32_t unit = kBlockSize / 16; unit-- > 0;) {
        const std::uint8_t* p = area + block_start(b) + unit * 16;
        if (std::any_of(p, p + 16, [](std::uint8_t c) { return c != 0xFF; }))
            return (unit + 1) * 16;
    }
    return 0;
}

class Checker {
public:
    Checker(const std::uint8_t* area, const CheckOptions& options, CheckResult& result)
        : area_(area), options_(options), r_(result)
    {
    }

    void run()
    {
        scan_blocks();
        if (r_.inode_block < 0)
            return;
        scan_inodes();
        if (r_.root == 0) {
            problem("no root directory");
            return;
        }
        reached_.assign(kSlots, 0);
        walk_dir(r_.root, "/", 0);
        std::set<int> stray;
        for (int i = 1; i < kSlots; ++i) {
            if (inodes_[i].valid() && reached_[i] == 0) {
                if (inodes_[i].type() == kSegment) {
                    stray.insert(i);
                    problem("segment " + std::to_string(i) + " is live but no file reaches it");
                } else {
                    problem("inode " + std::to_string(i) + " is live but not reachable from the root");
                }
            }
            if (reached_[i] > 1)
                problem("inode " + std::to_string(i) + " is reached " + std::to_string(reached_[i]) + " times");
        }
        collect_unreachable(stray);
        check_overlaps();
        check_journal();
    }

private:
    void problem(const std::string& text) { r_.problems.push_back(text); }

    void scan_blocks()
    {
        for (int b = 0; b < options_.blocks; ++b) {
            r_.states[b] = has_magic(area_, b) ? read16(area_, block_start(b) + 8) : 0;
            if (r_.states[b] == kInodes) {
                if (r_.inode_block >= 0)
                    problem("more than one INODES block");
                r_.inode_block = b;
            }
            if (r_.states[b] == kData) {
                r_.blocks[b].used = static_cast<std::int32_t>(high_water(area_, b));
                r_.blocks[b].lost = r_.blocks[b].used - 16;
            }
        }
        if (r_.inode_block < 0)
            problem("no INODES block");
    }

    const std::uint8_t* object(int i) const { return area_ + inodes_[i].location * kAtom; }

    std::string name_of(int i) const
    {
        const std::uint8_t* p = object(i);
        std::uint32_t n = 0;
        while (n < inodes_[i].size && p[n] != 0)
            ++n;
        return std::string(reinterpret_cast<const char*>(p), n);
    }

    void scan_inodes()
    {
        inodes_.resize(kSlots);
        BlockCount& table = r_.blocks[r_.inode_block];
        for (int i = 1; i < kSlots; ++i) {
            inodes_[i] = read_inode(area_, r_.inode_block, i);
            const InodeFields& f = inodes_[i];
            if (!f.used())
                continue;
            ++table.used;
            if (!f.valid()) {
                ++table.lost;
                continue;
            }
            if (!object_sound(i))
                inodes_[i].flags = 0;  // reported; not walked further
        }
    }

    bool object_sound(int i)
    {
        const InodeFields& f = inodes_[i];
        const std::string at = "inode " + std::to_string(i) + ": ";
        std::uint64_t offset = std::uint64_t{f.location} * kAtom;
        int b = static_cast<int>(offset / kBlockSize);
        if (offset + f.size > kImageSize || b >= options_.blocks || r_.states[b] != kData || offset % kBlockSize < 16 ||
            offset % kBlockSize + f.size > kBlockSize || f.size == 0 || f.size % 16 != 0) {
            problem(at + "object outside a data block");
            return false;
        }
        BlockCount& count = r_.blocks[b];
        ++count.objects;
        count.lost -= f.size;
        const bool segment = f.type() == kSegment;
        std::int32_t length = data_length(object(i), f.size, segment);
        if (length < 0) {
            problem(at + "name without end");
            return false;
        }
        if (segment) {
            if (segment_object_size(static_cast<std::uint32_t>(length)) != f.size)
                problem(at + "segment size does not match its data");
            return true;
        }
        std::string name = name_of(i);
        if (named_object_size(static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(length)) != f.size)
            problem(at + "object size does not match its name and data");
        if (f.type() == kDir && !name.empty() && name[0] == '/') {
            if (r_.root != 0)
                problem(at + "a second root");
            r_.root = i;
            return true;
        }
        if (name.empty() || name.size() > kMaxName || name.find_first_of("\\/:*?\"<>|") != std::string::npos)
            problem(at + "bad name '" + name + "'");
        return true;
    }

    bool live(int i) const { return i > 0 && i < kSlots && inodes_[i].valid(); }
    bool in_table(int i) const { return i > 0 && i < kSlots; }

    std::vector<std::uint8_t> data_of(int i) const
    {
        const InodeFields& f = inodes_[i];
        const bool segment = f.type() == kSegment;
        std::int32_t length = data_length(object(i), f.size, segment);
        std::uint32_t start = segment ? 0 : static_cast<std::uint32_t>(name_of(i).size()) + 1;
        return std::vector<std::uint8_t>(object(i) + start, object(i) + start + std::max(length, 0));
    }

    // The next segment: first live inode of the chain at child; else on at the chain's last child.
    int next_segment(int i) const
    {
        int e = inodes_[i].child;
        std::set<int> seen;
        while (in_table(e)) {
            int last = e;
            for (int s = e; in_table(s); s = inodes_[s].sibling) {
                if (!seen.insert(s).second)
                    return -1;
                if (live(s))
                    return s;
                last = s;
            }
            e = inodes_[last].child;
        }
        return 0;
    }

    void walk_file(int f, Entry& entry)
    {
        std::vector<std::uint8_t> first = data_of(f);
        entry.content = first;
        entry.pieces.push_back(static_cast<std::uint32_t>(first.size()));
        std::set<int> seen{f};
        for (int s = next_segment(f); s != 0; s = next_segment(s)) {
            if (s < 0 || !seen.insert(s).second) {
                problem("segment chain of inode " + std::to_string(f) + " loops");
                return;
            }
            ++reached_[s];
            if (inodes_[s].type() != kSegment)
                problem("inode " + std::to_string(s) + " in a segment chain is not a segment");
            std::vector<std::uint8_t> data = data_of(s);
            entry.content.insert(entry.content.end(), data.begin(), data.end());
            entry.pieces.push_back(static_cast<std::uint32_t>(data.size()));
        }
    }

    void walk_dir(int d, const std::string& path, int depth)
    {
        ++reached_[d];
        r_.tree[path] = Entry{kDir, d, inodes_[d].flags, {}, {}};
        if (depth > 64) {
            problem("directories nested too deep at " + path);
            return;
        }
        std::set<int> seen;
        std::set<std::string> names;
        for (int e = inodes_[d].child; in_table(e); e = inodes_[e].sibling) {
            if (!seen.insert(e).second) {
                problem("entry chain of " + path + " loops");
                return;
            }
            if (!live(e))
                continue;
            const InodeFields& f = inodes_[e];
            std::string name = name_of(e);
            std::string child = path == "/" ? "/" + name : path + "/" + name;
            if (!names.insert(name).second)
                problem("two entries named " + child);
            if (f.type() == kDir) {
                if (reached_[e] > 0) {
                    problem("directory " + child + " reached twice");
                    continue;
                }
                walk_dir(e, child, depth + 1);
            } else if (f.type() == kFile || f.type() == kLink) {
                ++reached_[e];
                Entry entry{f.type(), e, f.flags, {}, {}};
                if (f.type() == kFile)
                    walk_file(e, entry);
                else
                    entry.content = data_of(e);
                r_.tree[child] = entry;
            } else {
                ++reached_[e];
                problem("segment " + std::to_string(e) + " in the entry chain of " + path);
            }
        }
    }

    // Cuts the unreachable segments into chains: each starts at a segment that no other
    // unreachable segment leads to. Segments left over lie on a loop.
    void collect_unreachable(std::set<int> stray)
    {
        std::set<int> followers;
        for (int s : stray) {
            int next = next_segment(s);
            if (next > 0)
                followers.insert(next);
        }
        for (int head : std::set<int>(stray)) {
            if (followers.count(head) || !stray.count(head))
                continue;
            UnreachableChain chain;
            for (int s = head; s > 0 && stray.erase(s); s = next_segment(s)) {
                chain.segments.push_back(s);
                std::vector<std::uint8_t> data = data_of(s);
                chain.content.insert(chain.content.end(), data.begin(), data.end());
            }
            r_.unreachable.push_back(chain);
        }
        if (!stray.empty())
            problem("unreachable segments loop, from segment " + std::to_string(*stray.begin()));
    }

    void check_overlaps()
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        for (int i = 1; i < kSlots; ++i) {
            if (live(i))
                spans.emplace_back(std::uint64_t{inodes_[i].location} * kAtom, inodes_[i].size);
        }
        std::sort(spans.begin(), spans.end());
        for (std::size_t k = 1; k < spans.size(); ++k) {
            if (spans[k - 1].first + spans[k - 1].second > spans[k].first)
                problem("objects overlap at offset " + std::to_string(spans[k].first));
        }
    }

    void check_journal()
    {
        // The journal is the read-only ".journal" in the root; a writable one is a user's file.
        int found = 0;
        auto journal = r_.tree.find("/.journal");
        if (journal != r_.tree.end() && journal->second.type == kFile && !(journal->second.flags & kWritable))
            found = journal->second.inode;
        if (options_.journal_size == 0) {
            if (found != 0)
                problem("a journal where none is expected");
            return;
        }
        if (found == 0) {
            problem("no journal");
            return;
        }
        r_.journal = found;
        const InodeFields& f = inodes_[found];
        if (f.flags != 0xE1)
            problem("journal flags are not 0xE1");
        if (f.size != 16 + options_.journal_size) {
            problem("journal size " + std::to_string(f.size));
            return;
        }
        const std::uint32_t base = f.location * kAtom;
        std::uint32_t pos = 12;
        while (pos + 16 <= f.size && area_[base + pos] == kRecordApplied)
            pos += 16;
        r_.journal_position = pos;
        for (; pos + 16 + 16 <= f.size; pos += 16) {
            if (area_[base + pos] != kRecordEmpty) {
                problem("journal record at " + std::to_string(pos) + " is neither applied nor empty");
                return;
            }
        }
    }

    const std::uint8_t* area_;
    const CheckOptions& options_;
    CheckResult& r_;
    std::vector<InodeFields> inodes_;
    std::vector<int> reached_;
};

}  // namespace

std::string CheckResult::report() const
{
    std::ostringstream out;
    for (const std::string& p : problems)
        out << p << "\n";
    return out.str();
}

bool CheckResult::ok_but_unreachable() const
{
    std::size_t segments = 0;
    for (const UnreachableChain& chain : unreachable)
        segments += chain.segments.size();
    return problems.size() == segments;
}

CheckResult check_image(const std::uint8_t* area, const CheckOptions& options)
{
    CheckResult result;
    Checker(area, options, result).run();
    return result;
}

}  // namespace ffs_image
