// Lays out FFS images from the format rules alone: formatted areas with a root, a journal,
// directories, files with segments, links, read-only files and deleted slots, and every
// interrupted or damaged state a mount has to deal with. Test and tool code; the FFS itself
// never formats.
//
//     ffs_image::ImageBuilder b;                       // formatted, default layout
//     int docs = b.mkdir(b.root(), "docs");
//     b.file(docs, "a.txt", bytes);                    // file object + 8192-byte segments
//     b.write_state(5, ffs_image::kCleaning);          // damage it
//     use(b.image());
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image_format.h"

namespace ffs_image {

struct Layout {
    std::string root_name = "/";
    int inode_block = 0;
    int first_data_block = 1;
    std::uint16_t age = 1;              // of every formatted block
    std::uint32_t journal_size = 4096;  // 0: no journal file
    int formatted_blocks = kBlocks;     // blocks from 0 that get a header; the rest stay erased
    std::uint32_t chunk_size = 8192;    // segment size used by file()
};

class ImageBuilder {
public:
    ImageBuilder() : ImageBuilder(Layout{}) {}
    explicit ImageBuilder(const Layout& layout);
    // An area that is erased everywhere, with nothing on it.
    static ImageBuilder erased();

    Image& image() { return image_; }
    const Image& image() const { return image_; }
    std::uint8_t* area() { return image_.data(); }

    // ---- blocks ----
    void write_header(int block, std::uint16_t state, std::uint16_t age, std::uint16_t version = kVersion);
    void write_state(int block, std::uint16_t state);
    void write_age(int block, std::uint16_t age);
    void write_version(int block, std::uint16_t version);
    void write_old_format_header(int block);
    void write_garbage_header(int block);
    void erase_block(int block);
    std::uint16_t state(int block) const;
    std::uint16_t age(int block) const;

    // ---- inode table ----
    int inode_block() const { return inode_block_; }
    int allocate_slot() { return next_slot_++; }
    InodeFields inode(int slot) const { return read_inode(image_.data(), inode_block_, slot); }
    void set_inode(int slot, const InodeFields& fields) { write_inode(image_.data(), inode_block_, slot, fields); }
    void set_flags(int slot, std::uint8_t flags);
    // Copies every used slot into another block (the body of an inode table move).
    void copy_inode_table(int to_block);

    // ---- objects ----
    // Makes a FREE block DATA and places the following objects there.
    void start_data_block(int block);
    int data_block() const { return data_block_; }
    // Stores bytes in the current data block (the next FREE block when it is full): location in atoms.
    std::uint32_t place(const std::vector<std::uint8_t>& bytes);
    // A named object appended to the parent's entry chain (parent 0: not linked anywhere).
    int add_named(int parent, const std::string& name, std::uint8_t flags, const std::vector<std::uint8_t>& data = {});
    int root() const { return root_; }
    int journal() const { return journal_; }
    int mkdir(int parent, const std::string& name) { return add_named(parent, name, 0xF0 | kDir); }
    // A file: the empty file object and its data in segments of the layout's chunk size.
    int file(int parent, const std::string& name, const std::vector<std::uint8_t>& data,
             std::uint8_t flags = 0xF0 | kFile);
    // A file whose data is stored in the file object itself.
    int file_inline(int parent, const std::string& name, const std::vector<std::uint8_t>& data,
                    std::uint8_t flags = 0xF0 | kFile);
    int link(int parent, const std::string& name, const std::string& target);
    // A slot left deleted in the parent's chain (its object stays as lost space).
    int deleted(int parent, const std::string& name);
    // A segment linked as the child of `after` (the file or the previous segment).
    int segment(int after, const std::vector<std::uint8_t>& data);
    // Replaces a segment the way an update does: the old slot deleted, the new one its sibling,
    // taking over its child.
    int replace_segment(int old_segment, const std::vector<std::uint8_t>& data);

    // ---- journal ----
    std::uint32_t journal_offset() const;  // byte offset of the journal object
    std::uint32_t journal_position() const { return journal_position_; }
    void add_journal_record(const JournalEntry& entry);  // at the next position

    const Layout& layout() const { return layout_; }

private:
    std::uint32_t new_object_location(std::uint32_t size);
    void link_entry(int parent, int slot);

    Layout layout_;
    Image image_;
    int inode_block_ = -1;
    int next_slot_ = 1;
    int data_block_ = -1;
    std::uint32_t data_used_ = 0;
    std::uint16_t sequence_ = 0;
    int root_ = 0;
    int journal_ = 0;
    std::uint32_t journal_position_ = 12;
    std::map<int, int> last_entry_;  // parent -> last inode of its entry chain
};

}  // namespace ffs_image
