#include "base_images.h"

#include <string>

#include "image_builder.h"

namespace ffs_fuzz {
namespace {

using ffs_image::ImageBuilder;
using ffs_image::Layout;

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 5));
    return out;
}

// A tree with every kind of object and a deleted slot in a chain.
void fill_tree(ImageBuilder& b)
{
    int docs = b.mkdir(b.root(), "docs");
    int deep = b.mkdir(docs, "deep");
    b.file(docs, "big.bin", bytes(20000, 3));
    b.deleted(docs, "old.txt");
    b.file(deep, "small.txt", bytes(40, 9));
    b.file_inline(b.root(), "inline.txt", bytes(100, 1));
    b.file(b.root(), "IMEI", bytes(15, 5), 0xE1);
    b.link(b.root(), "to-big", "/docs/big.bin");
    int seg = b.inode(b.file(b.root(), "updated", bytes(9000, 2))).child;
    b.replace_segment(seg, bytes(8192, 4));
}

std::vector<std::vector<std::uint8_t>> build()
{
    std::vector<std::vector<std::uint8_t>> images;
    {
        ImageBuilder b;
        fill_tree(b);
        images.push_back(b.image());
    }
    images.push_back(ImageBuilder::erased().image());
    {
        Layout small;
        small.root_name = "/ffs/b8i64c1024";
        small.chunk_size = 1024;
        ImageBuilder b(small);
        fill_tree(b);
        images.push_back(b.image());
    }
    {
        Layout j0;
        j0.root_name = "/ffs/j0";
        j0.journal_size = 0;
        ImageBuilder b(j0);
        fill_tree(b);
        images.push_back(b.image());
    }
    {
        ImageBuilder b;
        fill_tree(b);
        b.copy_inode_table(9);
        b.write_state(9, ffs_image::kCopying);
        b.write_state(0, ffs_image::kInodesLost);
        images.push_back(b.image());
    }
    {
        ImageBuilder b;
        fill_tree(b);
        int slot = b.allocate_slot();
        ffs_image::JournalEntry e;
        e.flags = 0xF2;
        e.new_inode = static_cast<std::int16_t>(slot);
        e.link = static_cast<std::int16_t>(-b.root());
        e.old_inode = static_cast<std::int16_t>(b.inode(b.root()).child);
        e.location = b.place({'n', 0});
        e.size = 16;
        b.add_journal_record(e);
        b.write_state(20, ffs_image::kCleaning);
        images.push_back(b.image());
    }
    return images;
}

}  // namespace

const std::vector<std::vector<std::uint8_t>>& base_images()
{
    static const std::vector<std::vector<std::uint8_t>> images = build();
    return images;
}

}  // namespace ffs_fuzz
