#include "base_images.h"

#include "image_recipes.h"

namespace ffs_fuzz {
namespace {

using ffs_image::Layout;

Layout with_root(const std::string& root_name, std::uint32_t journal_size, std::uint32_t chunk_size)
{
    Layout layout;
    layout.root_name = root_name;
    layout.journal_size = journal_size;
    layout.chunk_size = chunk_size;
    return layout;
}

std::vector<std::vector<std::uint8_t>> build()
{
    // The first six keep the places the seeds were written for.
    std::vector<std::vector<std::uint8_t>> images;
    images.push_back(ffs_image::recipe("tree").image());
    images.push_back(ffs_image::recipe("erased").image());
    images.push_back(ffs_image::recipe("tree", with_root("/ffs/b8i64c1024", 4096, 1024)).image());
    images.push_back(ffs_image::recipe("tree", with_root("/ffs/j0", 0, 8192)).image());
    images.push_back(ffs_image::recipe("table-move").image());
    images.push_back(ffs_image::recipe("journal-complete").image());
    for (const char* name : {"cleaning", "copying-beside-inodes", "journal-written", "erased-header"})
        images.push_back(ffs_image::recipe(name).image());
    // Three blocks, 128 slots, a 256-byte journal: data reclaim, inode reclaim and journal
    // replacement all come round within the few operations of one input.
    images.push_back(ffs_image::recipe("tree", with_root("/ffs/b3i128c1024j1r2048", 256, 1024)).image());
    return images;
}

}  // namespace

const std::vector<std::vector<std::uint8_t>>& base_images()
{
    static const std::vector<std::vector<std::uint8_t>> images = build();
    return images;
}

}  // namespace ffs_fuzz
