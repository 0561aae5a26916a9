// Helpers of the FFS tests that check through GoogleTest (the others are in support/).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ffs.h"
#include "image_builder.h"
#include "image_check.h"
#include "recording_flash.h"
#include "state.h"
#include "test_images.h"

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
