#include "image_builder.h"

#include <stdexcept>

namespace ffs_image {
namespace {

std::vector<std::uint8_t> named_bytes(const std::string& name, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> bytes(name.begin(), name.end());
    bytes.push_back(0);
    if (!data.empty()) {
        bytes.insert(bytes.end(), data.begin(), data.end());
        bytes.push_back(0);
    }
    return bytes;
}

}  // namespace

ImageBuilder::ImageBuilder(const Layout& layout) : layout_(layout), image_(kImageSize, 0xFF)
{
    if (layout.formatted_blocks <= 0)
        return;
    for (int b = 0; b < layout.formatted_blocks; ++b)
        write_header(b, kFree, layout.age);
    inode_block_ = layout.inode_block;
    write_state(inode_block_, kInodes);
    data_block_ = layout.first_data_block;
    write_state(data_block_, kData);
    data_used_ = 16;
    root_ = add_named(0, layout.root_name, 0xF0 | kDir);
    if (layout.journal_size > 0) {
        // The journal's data area stays erased; only its terminating 0 is written.
        std::uint32_t size = named_object_size(8, layout.journal_size);
        std::vector<std::uint8_t> bytes(size, 0xFF);
        const char name[] = ".journal";
        for (int i = 0; i < 9; ++i)
            bytes[i] = static_cast<std::uint8_t>(name[i]);
        bytes[9 + layout.journal_size] = 0;
        int slot = allocate_slot();
        set_inode(slot, InodeFields{static_cast<std::uint16_t>(size), 0xE1, -1, -1, place(bytes), sequence_++, 0});
        link_entry(root_, slot);
        journal_ = slot;
    }
}

ImageBuilder ImageBuilder::erased()
{
    Layout none;
    none.formatted_blocks = 0;
    return ImageBuilder(none);
}

void ImageBuilder::write_header(int block, std::uint16_t state_word, std::uint16_t age_word, std::uint16_t version)
{
    const std::uint32_t h = block_start(block);
    write16(area(), h, kMagic0);
    write16(area(), h + 2, kMagic1);
    write16(area(), h + 4, version);
    write16(area(), h + 6, age_word);
    write16(area(), h + 8, state_word);
}

void ImageBuilder::write_state(int block, std::uint16_t word)
{
    write16(area(), block_start(block) + 8, word);
}
void ImageBuilder::write_age(int block, std::uint16_t word)
{
    write16(area(), block_start(block) + 6, word);
}
void ImageBuilder::write_version(int block, std::uint16_t word)
{
    write16(area(), block_start(block) + 4, word);
}

void ImageBuilder::write_old_format_header(int block)
{
    const std::uint32_t h = block_start(block);
    write16(area(), h, 0x1234);
    write16(area(), h + 2, 0x5678);
    write16(area(), h + 4, 0x5346);
    write16(area(), h + 6, 0x0100);
    write16(area(), h + 8, 0xFFFF);
}

void ImageBuilder::write_garbage_header(int block)
{
    const std::uint32_t h = block_start(block);
    for (std::uint32_t i = 0; i < 16; ++i)
        image_[h + i] = static_cast<std::uint8_t>(0x5A ^ (i * 37));
}

void ImageBuilder::erase_block(int block)
{
    std::fill(image_.begin() + block_start(block), image_.begin() + block_start(block) + kBlockSize, 0xFF);
}

std::uint16_t ImageBuilder::state(int block) const
{
    return read16(image_.data(), block_start(block) + 8);
}
std::uint16_t ImageBuilder::age(int block) const
{
    return read16(image_.data(), block_start(block) + 6);
}

void ImageBuilder::set_flags(int slot, std::uint8_t flags)
{
    InodeFields f = inode(slot);
    f.flags = flags;
    set_inode(slot, f);
}

void ImageBuilder::copy_inode_table(int to_block)
{
    for (int slot = 1; slot < kSlots; ++slot) {
        InodeFields f = inode(slot);
        if (f.used())
            write_inode(area(), to_block, slot, f);
    }
}

void ImageBuilder::start_data_block(int block)
{
    data_block_ = block;
    write_state(block, kData);
    data_used_ = 16;
}

std::uint32_t ImageBuilder::new_object_location(std::uint32_t size)
{
    if (data_used_ + size > kBlockSize) {
        int next = -1;
        for (int b = 0; b < layout_.formatted_blocks && next < 0; ++b) {
            if (state(b) == kFree)
                next = b;
        }
        if (next < 0)
            throw std::runtime_error("image builder: no free block left");
        start_data_block(next);
    }
    std::uint32_t offset = block_start(data_block_) + data_used_;
    data_used_ += size;
    return offset / kAtom;
}

std::uint32_t ImageBuilder::place(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t location = new_object_location(round16(static_cast<std::uint32_t>(bytes.size())));
    std::copy(bytes.begin(), bytes.end(), image_.begin() + location * kAtom);
    return location;
}

void ImageBuilder::link_entry(int parent, int slot)
{
    if (parent == 0)
        return;
    auto last = last_entry_.find(parent);
    if (last == last_entry_.end()) {
        InodeFields p = inode(parent);
        p.child = static_cast<std::int16_t>(slot);
        set_inode(parent, p);
    } else {
        InodeFields prev = inode(last->second);
        prev.sibling = static_cast<std::int16_t>(slot);
        set_inode(last->second, prev);
    }
    last_entry_[parent] = slot;
}

int ImageBuilder::add_named(int parent, const std::string& name, std::uint8_t flags,
                            const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> bytes = named_bytes(name, data);
    int slot = allocate_slot();
    std::uint32_t size =
        named_object_size(static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(data.size()));
    set_inode(slot, InodeFields{static_cast<std::uint16_t>(size), flags, -1, -1, place(bytes), sequence_++, 0});
    link_entry(parent, slot);
    return slot;
}

int ImageBuilder::file(int parent, const std::string& name, const std::vector<std::uint8_t>& data, std::uint8_t flags)
{
    int f = add_named(parent, name, flags);
    int previous = f;
    for (std::size_t at = 0; at < data.size(); at += layout_.chunk_size) {
        std::size_t n = std::min<std::size_t>(layout_.chunk_size, data.size() - at);
        previous = segment(previous, std::vector<std::uint8_t>(data.begin() + static_cast<long>(at),
                                                               data.begin() + static_cast<long>(at + n)));
    }
    return f;
}

int ImageBuilder::file_inline(int parent, const std::string& name, const std::vector<std::uint8_t>& data,
                              std::uint8_t flags)
{
    return add_named(parent, name, flags, data);
}

int ImageBuilder::link(int parent, const std::string& name, const std::string& target)
{
    return add_named(parent, name, 0xF0 | kLink, std::vector<std::uint8_t>(target.begin(), target.end()));
}

int ImageBuilder::deleted(int parent, const std::string& name)
{
    int slot = add_named(parent, name, 0xF0 | kFile);
    set_flags(slot, 0);
    return slot;
}

int ImageBuilder::segment(int after, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> bytes = data;
    bytes.push_back(0);
    int slot = allocate_slot();
    set_inode(slot,
              InodeFields{static_cast<std::uint16_t>(segment_object_size(static_cast<std::uint32_t>(data.size()))),
                          0xF0 | kSegment, -1, -1, place(bytes), sequence_++, 0});
    InodeFields a = inode(after);
    a.child = static_cast<std::int16_t>(slot);
    set_inode(after, a);
    return slot;
}

int ImageBuilder::replace_segment(int old_segment, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> bytes = data;
    bytes.push_back(0);
    InodeFields old = inode(old_segment);
    int slot = allocate_slot();
    set_inode(
        slot,
        InodeFields{static_cast<std::uint16_t>(segment_object_size(static_cast<std::uint32_t>(data.size()))), old.flags,
                    old.child, -1, place(bytes), sequence_++, static_cast<std::uint16_t>(old.updates + 1)});
    old.sibling = static_cast<std::int16_t>(slot);
    old.flags = 0;
    set_inode(old_segment, old);
    return slot;
}

std::uint32_t ImageBuilder::journal_offset() const
{
    return inode(journal_).location * kAtom;
}

void ImageBuilder::add_journal_record(const JournalEntry& entry)
{
    write_journal_entry(area(), journal_offset() + journal_position_, entry);
    journal_position_ += 16;
}

}  // namespace ffs_image
