#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device.h"
#include "ffs.h"
#include "trace.h"

using namespace flashfs;

namespace {

std::vector<std::uint8_t> area;
std::vector<std::pair<std::uint32_t, std::uint16_t>> halfword_log;

std::uint8_t* area_base()
{
    return area.data();
}
void logging_write_halfword(std::uint8_t* address, std::uint16_t value)
{
    halfword_log.emplace_back(static_cast<std::uint32_t>(address - area.data()), value);
    ffsdrv_null.write_halfword(address, value);
}

DriverOps logging_driver()
{
    DriverOps ops = ffsdrv_null;  // the null driver's own run write, seen halfword by halfword
    ops.write_halfword = logging_write_halfword;
    return ops;
}

class FfsDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        area.assign(kAreaSize, 0xFF);
        halfword_log.clear();
        static const DriverOps ops = logging_driver();
        ffs_bind_flash_base(area_base);
        ffs_bind_driver(&ops);
        ASSERT_EQ(ffs_dev_init(), 0);
    }
    void TearDown() override
    {
        ffs_bind_flash_base(nullptr);
        ffs_bind_driver(nullptr);
    }
};

}  // namespace

TEST_F(FfsDevice, BlocksLieOneAfterTheOtherInTheBoundArea)
{
    // Erased from the last block down, each block must turn exactly its own 64 KiB to 0xFF, and
    // the addresses of blocks and of the atoms in them must agree with what was erased.
    std::fill(area.begin(), area.end(), 0x00);
    ASSERT_EQ(dev.numblocks, kDeviceBlocks);
    for (int b = kDeviceBlocks - 1; b >= 0; --b) {
        const std::uint32_t start = static_cast<std::uint32_t>(b) * 0x10000u;
        const std::uint32_t last = start + 0xFFFFu;
        dev.ops.erase(static_cast<std::uint8_t>(b));
        EXPECT_EQ(area[start], 0xFF) << "block " << b;
        EXPECT_EQ(area[last], 0xFF) << "block " << b;
        if (b > 0) {
            EXPECT_EQ(area[start - 1], 0x00) << "block " << b << " reached into the one below";
        }
        EXPECT_EQ(block_addr(b), area.data() + start);
        EXPECT_EQ(location_addr(start >> 4), area.data() + start);
        EXPECT_EQ(location_block(start >> 4), b);
        EXPECT_EQ(location_block(last >> 4), b);
        EXPECT_EQ(offset_block(last), b);
    }
    EXPECT_EQ(std::count(area.begin(), area.end(), 0xFF), static_cast<std::ptrdiff_t>(kAreaSize));
}

TEST_F(FfsDevice, SingleBytesKeepTheirNeighbour)
{
    write_byte(area.data() + 0x100, 0x12);
    EXPECT_EQ(get16(area.data() + 0x100), 0xFF12);
    area[0x200] = 0xAB;
    write_byte(area.data() + 0x201, 0x12);
    EXPECT_EQ(get16(area.data() + 0x200), 0x12AB);
    ASSERT_EQ(halfword_log.size(), 2u);
    EXPECT_EQ(halfword_log[1].first, 0x200u);
}

TEST_F(FfsDevice, RunsAreSplitIntoHalfwordsByAlignment)
{
    const std::uint8_t five[] = {1, 2, 3, 4, 5};
    dev.ops.write(area.data() + 0x101, five, 5);  // odd: byte, halfword, halfword
    const std::vector<std::pair<std::uint32_t, std::uint16_t>> odd = {
        {0x100, 0x01FF}, {0x102, 0x0302}, {0x104, 0x0504}};
    EXPECT_EQ(halfword_log, odd);

    halfword_log.clear();
    dev.ops.write(area.data() + 0x200, five, 5);  // even: halfword, halfword, byte
    const std::vector<std::pair<std::uint32_t, std::uint16_t>> even = {
        {0x200, 0x0201}, {0x202, 0x0403}, {0x204, 0xFF05}};
    EXPECT_EQ(halfword_log, even);

    halfword_log.clear();
    dev.ops.write(area.data() + 0x300, five, 0);
    EXPECT_TRUE(halfword_log.empty());
    dev.ops.write(area.data() + 0x301, five, 1);  // one byte: one halfword keeping its neighbour
    const std::vector<std::pair<std::uint32_t, std::uint16_t>> one = {{0x300, 0x01FF}};
    EXPECT_EQ(halfword_log, one);
    EXPECT_EQ(std::memcmp(area.data() + 0x200, five, 5), 0);
}

TEST_F(FfsDevice, PlainStoresGiveTheBytesOfTheHalfwordRules)
{
    // With the null driver's own halfword store a run is copied at once; the bytes must be those
    // that the rules leave halfword by halfword.
    std::vector<std::uint8_t> source(37);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 29 + 3);
    const DriverOps logging = dev.ops;
    for (std::uint32_t start = 0x400; start < 0x404; ++start) {
        for (std::uint32_t count : {0u, 1u, 2u, 3u, 36u, 37u}) {
            std::fill(area.begin() + 0x3F0, area.begin() + 0x480, 0x5A);
            dev.ops = logging;
            dev.ops.write(area.data() + start, source.data(), count);
            std::vector<std::uint8_t> by_halfwords(area.begin() + 0x3F0, area.begin() + 0x480);
            std::fill(area.begin() + 0x3F0, area.begin() + 0x480, 0x5A);
            dev.ops = ffsdrv_null;
            dev.ops.write(area.data() + start, source.data(), count);
            EXPECT_EQ(std::vector<std::uint8_t>(area.begin() + 0x3F0, area.begin() + 0x480), by_halfwords)
                << "start " << start << " count " << count;
        }
    }
    dev.ops = logging;
}

TEST_F(FfsDevice, EraseTouchesExactlyOneBlock)
{
    std::fill(area.begin(), area.end(), 0x00);
    dev.ops.erase(3);
    EXPECT_EQ(area[0x2FFFF], 0x00);
    EXPECT_EQ(area[0x30000], 0xFF);
    EXPECT_EQ(area[0x3FFFF], 0xFF);
    EXPECT_EQ(area[0x40000], 0x00);
    EXPECT_EQ(std::count(area.begin(), area.end(), 0xFF), 0x10000);
}

TEST_F(FfsDevice, NullDriverStoresBitsExactly)
{
    area[0x10] = area[0x11] = 0;
    dev.ops.write_halfword(area.data() + 0x10, 0xFFFF);  // a real flash could not; memory can
    EXPECT_EQ(get16(area.data() + 0x10), 0xFFFF);
    EXPECT_EQ(ffsdrv_null_init(), 0);
}

TEST_F(FfsDevice, CheckedWritesStayInsideTheArea)
{
    flash_write16(kAreaSize - 2, 0x1234);
    EXPECT_EQ(get16(area.data() + kAreaSize - 2), 0x1234);
    flash_write16(kAreaSize, 0x1234);
    std::uint8_t big[8] = {};
    flash_write(kAreaSize - 4, big, 8);
    EXPECT_EQ(halfword_log.size(), 1u);
}

namespace {
std::vector<std::string> trace_lines;
std::uint32_t capture(std::uint32_t category, const char* text)
{
    trace_lines.emplace_back(text);
    return category & kTraceMask;
}
}  // namespace

TEST(FfsTrace, MaskedCategoriesAreNeverFormatted)
{
    trace_lines.clear();
    trace_bind_output(capture);
    std::uint32_t before = trace_format_count();
    trace(TR_API, "ffs_open('%s', 0x%x) ?", "/a", 0x2B);
    trace(TR_ALLOC, "ba(%d,0x%x) {", 1, 2);
    trace_plain(TR_DRIVER, "ffsdrv_null_init()");
    EXPECT_EQ(trace_format_count(), before);
    EXPECT_TRUE(trace_lines.empty());

    trace(TR_FAULT, "[ffs] data_block_reclaim(%d) object_relocate fail, error=%d", 7, -10);
    trace_plain(1, "plain");
    EXPECT_EQ(trace_format_count(), before + 1);
    ASSERT_EQ(trace_lines.size(), 2u);
    EXPECT_EQ(trace_lines[0], "[ffs] data_block_reclaim(7) object_relocate fail, error=-10");
    EXPECT_EQ(trace_lines[1], "plain");
    trace_bind_output(nullptr);
}

TEST(FfsBinding, NothingWorksWithoutAFlashOrAMount)
{
    ffs_bind_flash_base(nullptr);
    EXPECT_EQ(ffs_initialize(), FFS_E_NODEVICE);
    // Every call gives the mount's error, also for arguments it would refuse once mounted;
    // only the directory calls and ffs_stat judge the records they fill before the mount.
    std::uint8_t byte = 0;
    EXPECT_EQ(ffs_open("/a", FFS_O_READ), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_open(nullptr, 0), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_write_b(FFS_FD_BASE, &byte, 1), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_write_b(0, nullptr, -1), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_read(0, nullptr, -1), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_close(0), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_remove(nullptr), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_mkdir(nullptr), FFS_E_NODEVICE);
    ffs_dir d{};
    char name[FFS_NAME_BUFFER];
    ffs_stat_info info{};
    EXPECT_EQ(ffs_opendir("/", &d), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_opendir(nullptr, &d), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_opendir("/", nullptr), FFS_E_INVALID);
    EXPECT_EQ(ffs_readdir(&d, name, sizeof name), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_readdir(nullptr, name, sizeof name), FFS_E_INVALID);
    EXPECT_EQ(ffs_readdir(&d, nullptr, sizeof name), FFS_E_INVALID);
    EXPECT_EQ(ffs_readdir(&d, name, -1), FFS_E_INVALID);
    EXPECT_EQ(ffs_stat("/", &info), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_stat(nullptr, &info), FFS_E_NODEVICE);
    EXPECT_EQ(ffs_stat("/", nullptr), FFS_E_INVALID);
}
