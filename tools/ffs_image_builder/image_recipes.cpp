#include "image_recipes.h"

#include <stdexcept>

namespace ffs_image {
namespace {

std::vector<std::uint8_t> text(const std::string& s)
{
    return {s.begin(), s.end()};
}

// The last inode of a directory's entry chain (the directory itself when it has none).
int last_entry(const ImageBuilder& b, int dir)
{
    int last = dir;
    for (int e = b.inode(dir).child, guard = 0; e > 0 && guard < kSlots; e = b.inode(e).sibling, ++guard)
        last = e;
    return last;
}

// Objects placed after this go to a FREE block, not to one whose state was just changed.
void move_to_a_free_block(ImageBuilder& b)
{
    for (int block = 0; block < kBlocks; ++block) {
        if (b.state(block) == kFree) {
            b.start_data_block(block);
            return;
        }
    }
}

ImageBuilder tree(const Layout& layout)
{
    ImageBuilder b(layout);
    add_sample_tree(b);
    return b;
}

template <typename State>
std::function<ImageBuilder(const Layout&)> tree_then(State state)
{
    return [state](const Layout& layout) {
        ImageBuilder b = tree(layout);
        state(b);
        return b;
    };
}

}  // namespace

std::vector<std::uint8_t> sample_bytes(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 5));
    return out;
}

SampleTree add_sample_tree(ImageBuilder& b)
{
    SampleTree t{};
    t.docs = b.mkdir(b.root(), "docs");
    t.a_txt = b.file(t.docs, "a.txt", text("old text\n"));
    t.gone = b.deleted(t.docs, "gone.txt");
    t.notes = b.file(t.docs, "notes.txt", text("read-only notes\n"), 0xE0 | kFile);
    t.deep = b.mkdir(t.docs, "deep");
    t.big = b.file(t.docs, "big.bin", sample_bytes(20000, 3));
    t.imei = b.file(b.root(), "IMEI", text("354806012345678"), 0xE0 | kFile);
    t.to_a = b.link(b.root(), "to-a", "/docs/a.txt");
    t.inline_txt = b.file_inline(b.root(), "inline.txt", sample_bytes(100, 1));
    t.updated = b.file(b.root(), "updated", sample_bytes(9000, 2));
    std::vector<std::uint8_t> first = sample_bytes(9000, 2);
    first.resize(b.layout().chunk_size < first.size() ? b.layout().chunk_size : first.size());
    for (std::size_t i = 0; i < first.size(); i += 3)
        first[i] = static_cast<std::uint8_t>(first[i] ^ 0x5A);
    b.replace_segment(b.inode(t.updated).child, first);
    return t;
}

void interrupted_table_move(ImageBuilder& b, int to_block)
{
    b.copy_inode_table(to_block);
    b.write_state(to_block, kCopying);
    b.write_state(b.inode_block(), kInodesLost);
}

void copying_beside_inodes(ImageBuilder& b, int block)
{
    b.copy_inode_table(block);
    b.write_state(block, kCopying);
}

std::vector<int> cleaning_block(ImageBuilder& b, int block)
{
    b.start_data_block(block);
    const int moved = b.file(b.root(), "moved", text("moved away"));
    const int segment = b.inode(moved).child;
    b.set_flags(segment, kDeleted);
    b.set_flags(moved, kDeleted);
    b.write_state(block, kCleaning);
    move_to_a_free_block(b);
    return {moved, segment};
}

void erased_header_over_data(ImageBuilder& b, int block)
{
    b.start_data_block(block);
    b.place(std::vector<std::uint8_t>(64, 0x5A));
    for (std::uint32_t offset = 0; offset < 10; offset += 2)
        write16(b.area(), block_start(block) + offset, 0xFFFF);
    move_to_a_free_block(b);
}

JournalEntry directory_record(ImageBuilder& b, const std::string& name)
{
    JournalEntry e;
    e.state = kRecordComplete;
    e.flags = 0xF0 | kDir;
    e.new_inode = static_cast<std::int16_t>(b.allocate_slot());
    e.link = static_cast<std::int16_t>(last_entry(b, b.root()));
    std::vector<std::uint8_t> object = text(name);
    object.push_back(0);
    e.location = b.place(object);
    e.size = static_cast<std::uint16_t>(named_object_size(static_cast<std::uint32_t>(name.size()), 0));
    return e;
}

int directory_move_cut_short(ImageBuilder& b, int parent, int dir)
{
    const InodeFields old = b.inode(dir);
    const std::uint8_t* object = b.area() + old.location * kAtom;
    std::vector<std::uint8_t> bytes(object, object + old.size);
    JournalEntry e;
    e.state = kRecordComplete;
    e.flags = old.flags;
    e.new_inode = static_cast<std::int16_t>(b.allocate_slot());
    const int last = last_entry(b, parent);
    e.link = static_cast<std::int16_t>(last == parent ? -parent : last);
    e.old_inode = static_cast<std::int16_t>(dir);
    e.location = b.place(bytes);
    e.size = old.size;
    b.add_journal_record(e);
    // What applying the record had written when the power went: the new inode, with the old
    // one's entries, linked behind the parent's last entry.
    b.set_inode(e.new_inode, InodeFields{e.size, old.flags, old.child, -1, e.location, 0x0100,
                                         static_cast<std::uint16_t>(old.updates + 1)});
    InodeFields before = b.inode(last);
    (last == parent ? before.child : before.sibling) = e.new_inode;
    b.set_inode(last, before);
    return e.new_inode;
}

void applied_journal_records(ImageBuilder& b, int count)
{
    JournalEntry applied;
    applied.state = kRecordApplied;
    for (int i = 0; i < count; ++i)
        b.add_journal_record(applied);
}

const std::vector<Recipe>& recipes()
{
    static const std::vector<Recipe> all = {
        {"tree", "the sample tree, formatted and consistent", tree},
        {"erased", "an area erased everywhere", [](const Layout&) { return ImageBuilder::erased(); }},
        {"table-move", "an inode table move copied but not committed (block 9)",
         tree_then([](ImageBuilder& b) { interrupted_table_move(b, 9); })},
        {"copying-beside-inodes", "a copy of the inode table started beside the current one (block 7)",
         tree_then([](ImageBuilder& b) { copying_beside_inodes(b, 7); })},
        {"cleaning", "a data block emptied and marked CLEANING (block 5)",
         tree_then([](ImageBuilder& b) { cleaning_block(b, 5); })},
        {"journal-complete", "a complete journal record for directory /new, not applied",
         tree_then([](ImageBuilder& b) { b.add_journal_record(directory_record(b, "new")); })},
        {"journal-written", "a journal record written but never marked complete", tree_then([](ImageBuilder& b) {
             JournalEntry e = directory_record(b, "half");
             e.state = kRecordWritten;
             b.add_journal_record(e);
         })},
        {"erased-header", "a data block whose header was erased while its data stayed (block 4)",
         tree_then([](ImageBuilder& b) { erased_header_over_data(b, 4); })},
        {"directory-move", "/docs relocated, cut short before its old inode was deleted",
         [](const Layout& layout) {
             ImageBuilder b(layout);
             const SampleTree t = add_sample_tree(b);
             directory_move_cut_short(b, b.root(), t.docs);
             return b;
         }},
    };
    return all;
}

ImageBuilder recipe(const std::string& name, const Layout& layout)
{
    for (const Recipe& r : recipes()) {
        if (r.name == name)
            return r.make(layout);
    }
    throw std::out_of_range("no image recipe named " + name);
}

}  // namespace ffs_image
