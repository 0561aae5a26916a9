// Small helpers shared by the FFS tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image_builder.h"
#include "recording_flash.h"

namespace ffs_test {

inline std::vector<std::uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

// Deterministic bytes that contain zeros and 0xFF, the values the length rule cares about.
inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed = 1)
{
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

inline std::uint16_t flash16(const RecordingFlash& flash, std::uint32_t offset)
{
    const auto& image = const_cast<RecordingFlash&>(flash).image();
    return static_cast<std::uint16_t>(image[offset] | (image[offset + 1] << 8));
}

// A formatted layout whose root name carries these parameters; journal_size is the journal the
// builder lays out (0: none), chunk the segment size its files use.
inline ffs_image::Layout layout_for(const std::string& root_name, std::uint32_t journal_size = 4096,
                                    std::uint32_t chunk = 8192)
{
    ffs_image::Layout layout;
    layout.root_name = root_name;
    layout.journal_size = journal_size;
    layout.chunk_size = chunk;
    return layout;
}

inline ffs_image::Layout no_journal()
{
    return layout_for("/ffs/j0", 0);
}

inline std::uint16_t block_state(const RecordingFlash& flash, int block)
{
    return flash16(flash, block * 0x10000u + 8);
}
inline std::uint16_t block_age(const RecordingFlash& flash, int block)
{
    return flash16(flash, block * 0x10000u + 6);
}

}  // namespace ffs_test

#include <gtest/gtest.h>

#include "ffs.h"
#include "image_check.h"
#include "state.h"

namespace ffs_test {

// A file written the way Brovald writes one: create or truncate, one write, close.
inline int write_file(const std::string& path, const std::vector<std::uint8_t>& data, int flags = 0x2B)
{
    int fd = ffs_open(path.c_str(), flags);
    if (fd < 0)
        return fd;
    int r = ffs_write_b(fd, data.data(), static_cast<int>(data.size()));
    int c = ffs_close(fd);
    return r < 0 ? r : c;
}

// A file's bytes through the FFS's own read path.
inline std::vector<std::uint8_t> read_back(const std::string& path)
{
    std::vector<std::uint8_t> out;
    int fd = ffs_open(path.c_str(), FFS_O_READ);
    EXPECT_GE(fd, FFS_FD_BASE) << path;
    if (fd < 0)
        return out;
    std::uint8_t buffer[3000];
    for (int n; (n = ffs_read(fd, buffer, sizeof buffer)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    EXPECT_EQ(ffs_close(fd), 0);
    return out;
}

// The FFS's block accounting against the independent recount; empty when they agree.
inline std::string accounting_differences(RecordingFlash& flash, const ffs_image::CheckResult& check, int blocks)
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

// The independent check of the flash, and the FFS's block accounting against its recount.
inline ffs_image::CheckResult expect_consistent(RecordingFlash& flash, std::uint32_t journal_size = 4096)
{
    ffs_image::CheckOptions options;
    options.blocks = flashfs::dev.numblocks;
    options.journal_size = journal_size;
    ffs_image::CheckResult check = ffs_image::check_image(flash.data(), options);
    EXPECT_TRUE(check.ok()) << check.report();
    EXPECT_EQ(accounting_differences(flash, check, options.blocks), "");
    return check;
}

}  // namespace ffs_test
