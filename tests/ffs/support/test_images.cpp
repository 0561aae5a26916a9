#include "test_images.h"

#include "state.h"

namespace ffs_test {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

ffs_image::Layout layout_for(const std::string& root_name, std::uint32_t journal_size, std::uint32_t chunk)
{
    ffs_image::Layout layout;
    layout.root_name = root_name;
    layout.journal_size = journal_size;
    layout.chunk_size = chunk;
    return layout;
}

std::uint16_t flash16(const RecordingFlash& flash, std::uint32_t offset)
{
    const auto& image = const_cast<RecordingFlash&>(flash).image();
    return static_cast<std::uint16_t>(image[offset] | (image[offset + 1] << 8));
}

std::string accounting_differences(RecordingFlash& flash, const ffs_image::CheckResult& check, int blocks)
{
    std::string out;
    auto differ = [&out](const std::string& what, int block, long ffs, long recount) {
        if (ffs != recount)
            out += what + " of block " + std::to_string(block) + ": " + std::to_string(ffs) + ", recount " +
                   std::to_string(recount) + "\n";
    };
    for (int b = 0; b < blocks; ++b) {
        const flashfs::BlockStat& s = flashfs::fs.block_stat[b];
        differ("state", b, s.state, block_state(flash, b));
        if (s.state == ffs_image::kData) {
            differ("used", b, s.used, check.blocks[b].used);
            differ("lost", b, s.lost, check.blocks[b].lost);
            differ("objects", b, s.objects, check.blocks[b].objects);
        }
    }
    if (check.inode_block >= 0) {
        const int t = check.inode_block;
        differ("inode table", t, flashfs::fs.inodes, t);
        differ("used slots", t, flashfs::fs.block_stat[t].used, check.blocks[t].used);
        differ("lost slots", t, flashfs::fs.block_stat[t].lost, check.blocks[t].lost);
    }
    return out;
}

}  // namespace ffs_test
