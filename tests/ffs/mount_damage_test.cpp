// Damaged images: mount reports them with the existing codes instead of reading or writing
// outside the area or walking a loop for ever.
#include <gtest/gtest.h>

#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "image_recipes.h"

using namespace ffs_test;
using ffs_image::ImageBuilder;
using ffs_image::InodeFields;

namespace {

int mount(const ImageBuilder& b)
{
    RecordingFlash flash(b.image());
    return ffs_initialize();
}

}  // namespace

TEST(FfsMountDamage, InodesPointingOutsideTheirBlockAreCorruption)
{
    ImageBuilder base;
    const int f = base.file(base.root(), "f", pattern(30));

    ImageBuilder beyond = base;
    InodeFields i = beyond.inode(f);
    i.location = 0x00400000;  // past the 4 MiB area
    beyond.set_inode(f, i);
    EXPECT_EQ(mount(beyond), FFS_E_CORRUPTED);

    ImageBuilder crossing = base;
    i = crossing.inode(f);
    i.location = (2 * 0x10000u - 16) / 16;  // last unit of block 1, 32 bytes long
    i.size = 32;
    crossing.set_inode(f, i);
    EXPECT_EQ(mount(crossing), FFS_E_CORRUPTED);

    ImageBuilder header = base;
    i = header.inode(f);
    i.location = 0x10000u / 16;  // the header of block 1
    header.set_inode(f, i);
    EXPECT_EQ(mount(header), FFS_E_CORRUPTED);

    ImageBuilder huge = base;
    i = huge.inode(f);
    i.location = 0xFFFFFFF0;
    huge.set_inode(f, i);
    EXPECT_EQ(mount(huge), FFS_E_CORRUPTED);
}

TEST(FfsMountDamage, NameWithoutEndIsCorruption)
{
    ImageBuilder b;
    const int f = b.file(b.root(), "abc", {});
    std::uint32_t at = b.inode(f).location * 16;
    for (std::uint32_t k = 0; k < 16; ++k)
        b.image()[at + k] = 'x';
    EXPECT_EQ(mount(b), FFS_E_CORRUPTED);
}

TEST(FfsMountDamage, LinksOutsideTheTableAreCorruption)
{
    ImageBuilder b;
    const int d = b.mkdir(b.root(), "d");
    InodeFields i = b.inode(d);
    i.sibling = 5000;
    b.set_inode(d, i);
    EXPECT_EQ(mount(b), FFS_E_CORRUPTED);
}

TEST(FfsMountDamage, LoopingChainsAreReported)
{
    ImageBuilder siblings;
    const int a = siblings.mkdir(siblings.root(), "a");
    const int c = siblings.mkdir(siblings.root(), "c");
    InodeFields i = siblings.inode(c);
    i.sibling = static_cast<std::int16_t>(a);  // a -> c -> a -> ...
    siblings.set_inode(c, i);
    EXPECT_EQ(mount(siblings), FFS_E_SIBLINGLOOP);

    ImageBuilder self;
    const int s = self.mkdir(self.root(), "s");
    i = self.inode(s);
    i.sibling = static_cast<std::int16_t>(s);
    self.set_inode(s, i);
    EXPECT_EQ(mount(self), FFS_E_SIBLINGLOOP);

    ImageBuilder cycle;
    const int outer = cycle.mkdir(cycle.root(), "outer");
    const int inner = cycle.mkdir(outer, "inner");
    i = cycle.inode(inner);
    i.child = static_cast<std::int16_t>(outer);  // inner contains its parent
    cycle.set_inode(inner, i);
    EXPECT_EQ(mount(cycle), FFS_E_SIBLINGLOOP);

    ImageBuilder segments;
    const int f = segments.file(segments.root(), "f", pattern(3 * 8192));
    const int first = segments.inode(f).child;
    const int second = segments.inode(first).child;
    i = segments.inode(second);
    const int third = i.child;
    InodeFields t = segments.inode(third);
    t.child = static_cast<std::int16_t>(first);
    segments.set_inode(third, t);
    EXPECT_EQ(mount(segments), FFS_E_SIBLINGLOOP);
}

TEST(FfsMountDamage, JournalRecordPointingOutsideIsCorruption)
{
    ImageBuilder outside;
    ffs_image::JournalEntry e = ffs_image::directory_record(outside, "new");
    e.location = 0x00FFFFFF;
    outside.add_journal_record(e);
    EXPECT_EQ(mount(outside), FFS_E_CORRUPTED);

    ImageBuilder slot;
    e = ffs_image::directory_record(slot, "new");
    e.new_inode = 9000;
    slot.add_journal_record(e);
    EXPECT_EQ(mount(slot), FFS_E_CORRUPTED);
}

TEST(FfsMountDamage, AnAllOnesAreaWithDataIsNotMounted)
{
    ImageBuilder b = ImageBuilder::erased();
    b.image()[0x123456] = 0;
    RecordingFlash flash(b.image());
    EXPECT_EQ(ffs_initialize(), FFS_E_NOFORMAT);
    EXPECT_EQ(block_state(flash, 0x12), 0xFF7F);  // erased header over data: marked only
}

// A segment chain that leads back into itself through a run of deleted slots passes those slots
// again for every turn. Mount refuses it; met after the mount, every walk along it ends within one
// pass over the table instead of one pass for every segment it counts.
TEST(FfsMountDamage, ASegmentChainLeadingBackIntoItselfIsWalkedOnce)
{
    ImageBuilder b;
    const int f = b.file(b.root(), "f", pattern(100));
    const int segment = b.inode(f).child;
    const int first_deleted = b.allocate_slot();
    constexpr int kRun = 100;
    for (int k = 0; k < kRun; ++k) {
        if (k > 0)
            b.allocate_slot();
        InodeFields d{16,
                      0x00,
                      -1,
                      static_cast<std::int16_t>(k + 1 < kRun ? first_deleted + k + 1 : -1),
                      b.inode(segment).location,
                      0x0100,
                      0};
        if (k + 1 == kRun)
            d.child = static_cast<std::int16_t>(segment);
        b.set_inode(first_deleted + k, d);
    }
    ImageBuilder looping = b;
    InodeFields s = looping.inode(segment);
    s.child = static_cast<std::int16_t>(first_deleted);
    looping.set_inode(segment, s);
    EXPECT_EQ(mount(looping), FFS_E_SIBLINGLOOP);

    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    flash.image()[16 * segment + 4] = static_cast<std::uint8_t>(first_deleted);  // the loop, after the mount
    flash.image()[16 * segment + 5] = static_cast<std::uint8_t>(first_deleted >> 8);
    ffs_stat_info info;
    ASSERT_EQ(ffs_stat("/f", &info), 0);
    // The first segment is the file's child; every further turn passes the run again.
    EXPECT_LE(1 + (info.segments - 1) * (kRun + 1), 4096) << "segments counted past one pass over the table";
    EXPECT_GE(info.segments, 1);
}
