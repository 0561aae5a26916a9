// The format parameters read from the root name.
#include <gtest/gtest.h>

#include "device.h"
#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "params.h"
#include "state.h"

using namespace ffs_test;
using flashfs::fs;

namespace {

class FfsParams : public ::testing::Test {
protected:
    void SetUp() override { flashfs::ffs_dev_init(); }
    RecordingFlash flash_;
};

int mount_with_root(const std::string& name)
{
    ffs_image::ImageBuilder b(layout_for(name));
    RecordingFlash flash(b.image());
    return ffs_initialize();
}

}  // namespace

TEST_F(FfsParams, OneSlashLeavesTheDefaults)
{
    flashfs::fs_params_parse("/ffsc100j3");
    EXPECT_EQ(fs.chunk_size, 8192);
    EXPECT_EQ(fs.journal_size, 4096u);
}

TEST_F(FfsParams, SmallJournalValuesAreFractionsOfABlock)
{
    flashfs::fs_params_parse("/ffs/j512");
    EXPECT_EQ(fs.journal_size, 131072u);
    flashfs::fs_params_parse("/ffs/j2048");
    EXPECT_EQ(fs.journal_size, 2048u);
}

TEST_F(FfsParams, EntriesReplaceTheirParameter)
{
    flashfs::fs_params_parse("/ffs/c4096s16384d9n20x7i100t5z6");
    EXPECT_EQ(fs.chunk_size, 4096);
    EXPECT_EQ(fs.stream_size, 16384);
    EXPECT_EQ(fs.numfds, 9);
    EXPECT_EQ(fs.filename_max, 20);
    EXPECT_EQ(fs.inodes_max, 100);
    EXPECT_EQ(fs.objects_max, 2048);  // derived before the list: "i" alone leaves it
    EXPECT_EQ(fs.param_t, 5);
    EXPECT_EQ(fs.param_z, 6);
    flashfs::fs_params_parse("/ffs/o300d");
    EXPECT_EQ(fs.objects_max, 300);
    EXPECT_EQ(fs.numfds, 0);  // a missing number counts as 0
}

TEST_F(FfsParams, NoJournalAndSmallReservesAreRescaled)
{
    flashfs::fs_params_parse("/ffs/j0");
    EXPECT_EQ(fs.journal_size, 0u);
    EXPECT_EQ(fs.block_objects_max, 1024);
    EXPECT_EQ(fs.reserved_space, 0);
    EXPECT_EQ(fs.objects_reserve, 0);
    flashfs::fs_params_parse("/ffs/r100");
    EXPECT_EQ(fs.reserved_space, 100 * 65536 / 256);
}

TEST_F(FfsParams, BlockCountChangesTheDerivedValuesOfTheNextPass)
{
    flashfs::fs_params_parse("/ffs/b8");
    EXPECT_EQ(flashfs::dev.numblocks, 8);
    EXPECT_EQ(fs.chunk_size, 8192);  // derived with 64 blocks
    flashfs::fs_params_parse("/ffs/b8");
    EXPECT_EQ(fs.chunk_size, 2048);  // 8 blocks: min(block / 8, 2048)
    EXPECT_EQ(fs.reserved_space, 32768 + 6 * 4096 + 2 * 4096);
}

TEST(FfsParamsMount, ValuesThatBreakTheLayoutAreRefused)
{
    EXPECT_EQ(mount_with_root("/ffs/c8192s4096"), FFS_E_BADFORMAT);  // buffer smaller than a chunk
    EXPECT_EQ(mount_with_root("/ffs/j512"), FFS_E_BADFORMAT);        // journal larger than a block
    EXPECT_EQ(mount_with_root("/ffs/j1030"), FFS_E_BADFORMAT);       // not whole records
    EXPECT_EQ(mount_with_root("/ffs/c0"), FFS_E_BADFORMAT);
    EXPECT_EQ(mount_with_root("/ffs/c65500"), FFS_E_BADFORMAT);  // a chunk must fit a block
    EXPECT_EQ(mount_with_root("/ffs/b100"), FFS_E_BADFORMAT);
    EXPECT_EQ(mount_with_root("/ffs/b0"), FFS_E_BADFORMAT);
    EXPECT_EQ(mount_with_root("/ffs/i5000"), FFS_E_BADFORMAT);
    EXPECT_EQ(mount_with_root("/ffs/r3000000000"), FFS_E_BADFORMAT);  // negative as i32
    EXPECT_EQ(mount_with_root("/ffs/m200"), FFS_E_BADFORMAT);         // -56 as i8
    EXPECT_EQ(mount_with_root("/ffs/i2"), FFS_E_BADFORMAT);           // slots in use beyond it
    EXPECT_EQ(mount_with_root("/ffs/c4096s16384j8192"), 0);
    EXPECT_EQ(fs.chunk_size, 4096);
    EXPECT_EQ(mount_with_root("/ffs/b8i64c1024"), 0);
}

// A slot in use beyond the table the root keeps, or an object beyond its blocks, would be out of
// reach of every reclaim: the image is refused, wherever the slot or object lies.
TEST(FfsParamsMount, SlotsAndObjectsOutsideTheParametersAreRefused)
{
    for (const int slot : {64, 65, 100, 4095}) {
        ffs_image::ImageBuilder b(layout_for("/ffs/i64"));
        b.set_inode(slot, ffs_image::InodeFields{16, 0x00, -1, -1, b.inode(b.root()).location, 9, 0});
        RecordingFlash flash(b.image());
        EXPECT_EQ(ffs_initialize(), FFS_E_BADFORMAT) << "slot " << slot;
    }
    ffs_image::ImageBuilder b(layout_for("/ffs/b8"));
    b.start_data_block(20);
    b.file(b.root(), "far", bytes_of("beyond the eight blocks"));
    RecordingFlash flash(b.image());
    EXPECT_EQ(ffs_initialize(), FFS_E_BADFORMAT);
}

// The defaults of a root without parameters as a writer meets them: a 4096-byte journal, names
// of up to 40 bytes, six folder levels, segments of 8192 bytes and four descriptors.
TEST(FfsParamsMount, DefaultsAsAWriterMeetsThem)
{
    ffs_image::ImageBuilder b(layout_for("/"));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ffs_stat_info info{};
    ASSERT_EQ(ffs_stat("/.journal", &info), 0);
    EXPECT_EQ(info.size, 4096);

    EXPECT_EQ(write_file("/" + std::string(40, 'n'), bytes_of("x")), 0);
    EXPECT_EQ(ffs_open(("/" + std::string(41, 'n')).c_str(), 0x2B), FFS_E_NAMETOOLONG);
    std::string folder;
    for (const char* level : {"a", "b", "c", "d", "e", "f"}) {
        folder += std::string("/") + level;
        ASSERT_EQ(ffs_mkdir(folder.c_str()), 0) << folder;
    }
    EXPECT_EQ(ffs_mkdir((folder + "/g").c_str()), FFS_E_PATHTOODEEP);

    ASSERT_EQ(write_file("/two", pattern(8193)), 0);
    ASSERT_EQ(ffs_stat("/two", &info), 0);
    EXPECT_EQ(info.segments, 2) << "a chunk is 8192 bytes";

    for (int fd = FFS_FD_BASE; fd < FFS_FD_BASE + 4; ++fd)
        EXPECT_EQ(ffs_open("/two", FFS_O_READ), fd);
    EXPECT_EQ(ffs_open("/two", FFS_O_READ), FFS_E_NUMFD);
}
