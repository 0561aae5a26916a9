// Mount outcomes and repairs on images laid out by the fixture builder.
#include <gtest/gtest.h>

#include "blocks.h"
#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "image_recipes.h"
#include "state.h"

using namespace ffs_test;
using ffs_image::ImageBuilder;
using ffs_image::recipe;
using flashfs::fs;

TEST(FfsMount, CleanImageMountsWithoutWriting)
{
    ImageBuilder b = recipe("tree");
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flash.operations(), 0u);
    EXPECT_EQ(fs.root, b.root());
    EXPECT_EQ(fs.journal, b.journal());
    EXPECT_EQ(fs.journal_pos, 12u);
    EXPECT_EQ(fs.inodes, 0);
    EXPECT_EQ(fs.age_max, 1);
    expect_consistent(flash);
}

TEST(FfsMount, ErasedAreaIsPreformattedAndReportedNotFormatted)
{
    RecordingFlash flash;
    EXPECT_EQ(ffs_initialize(), FFS_E_NOFORMAT);
    for (int block = 0; block < 64; ++block) {
        EXPECT_EQ(block_state(flash, block), 0xFFBF);
        EXPECT_EQ(flash16(flash, block * 0x10000u), 0x6646);
    }
    EXPECT_TRUE(flash.violations().empty());
    EXPECT_EQ(ffs_open("/x", FFS_O_READ), FFS_E_NOFORMAT);
}

TEST(FfsMount, CopyingBesideInodesIsMarkedLostNotErased)
{
    ImageBuilder b = recipe("copying-beside-inodes");  // the copy is in block 7
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_state(flash, 7), 0xFF3B);
    EXPECT_NE(flash16(flash, 7 * 0x10000u + 16 * b.root() + 8), 0xFFFF);  // content kept
    EXPECT_EQ(fs.inodes, 0);
}

TEST(FfsMount, InterruptedTableMoveIsCompleted)
{
    ImageBuilder b = recipe("table-move");  // the copy is in block 9
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_state(flash, 9), 0xFFAB);
    EXPECT_EQ(block_state(flash, 0), 0xFF2B);  // only marked while mounting
    EXPECT_EQ(fs.inodes, 9);
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/docs/big.bin", &st), 0);
    EXPECT_EQ(st.size, 20000);
    // The next mount keeps the new table and leaves the old one alone.
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.inodes, 9);
}

TEST(FfsMount, CleaningBlockIsErasedWithItsInodesForgotten)
{
    ImageBuilder b = recipe("tree");
    const std::vector<int> moved = ffs_image::cleaning_block(b, 5);
    b.write_age(5, 0x0041);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_state(flash, 5), 0xFFBF);
    EXPECT_EQ(block_age(flash, 5), 0x0042);
    ASSERT_EQ(moved.size(), 2u);
    for (int slot : moved)
        EXPECT_EQ(flash16(flash, 16 * slot), 0) << slot;  // size of each inode in the block
    EXPECT_EQ(flash.erases()[5], 1u);
    EXPECT_TRUE(flash.violations().empty());
    expect_consistent(flash);
}

TEST(FfsMount, CompleteJournalRecordIsAppliedAgain)
{
    // A directory whose object was written but whose inode was not: the record is complete.
    ImageBuilder b = recipe("tree");
    const ffs_image::JournalEntry e = ffs_image::directory_record(b, "new");
    const int slot = e.new_inode;
    b.add_journal_record(e);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const std::uint32_t record = b.journal_offset() + 12;
    EXPECT_EQ(flash.image()[record], 0xF1);
    EXPECT_EQ(fs.journal_pos, 28u);
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/new", &st), 0);
    EXPECT_EQ(st.inode, slot);
    EXPECT_EQ(st.type, FFS_TYPE_DIR);
    EXPECT_TRUE(flash.violations().empty());
    expect_consistent(flash);  // the counters of the replay were rebuilt by a second pass
}

// A relocated directory whose old inode was not yet deleted shares its entries with the new one:
// that is no loop, and the replay of the record deletes the old inode.
TEST(FfsMount, DirectoryMoveCutShortIsFinished)
{
    ImageBuilder b;
    const ffs_image::SampleTree t = ffs_image::add_sample_tree(b);
    const int moved = ffs_image::directory_move_cut_short(b, b.root(), t.docs);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/docs/deep", &st), 0);
    EXPECT_EQ(flash.image()[16 * t.docs + 3], 0);  // the old inode deleted
    ASSERT_EQ(ffs_stat("/docs", &st), 0);
    EXPECT_EQ(st.inode, moved);
    expect_consistent(flash);

    // Without a journal nothing finishes the move: the first of the two is the directory.
    ImageBuilder plain(no_journal());
    const int docs = plain.mkdir(plain.root(), "docs");
    plain.mkdir(docs, "deep");
    ffs_image::InodeFields copy = plain.inode(docs);
    const int twin = plain.add_named(plain.root(), "docs", 0xF2);
    copy.location = plain.inode(twin).location;
    plain.set_inode(twin, copy);
    RecordingFlash flash2(plain.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ASSERT_EQ(ffs_stat("/docs", &st), 0);
    EXPECT_EQ(st.inode, docs);
    EXPECT_EQ(ffs_stat("/docs/deep", &st), 0);
}

TEST(FfsMount, WrittenButIncompleteRecordIsDiscarded)
{
    ImageBuilder b = recipe("tree");
    ffs_image::JournalEntry e = ffs_image::directory_record(b, "half");
    e.state = ffs_image::kRecordWritten;
    b.add_journal_record(e);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flash.image()[b.journal_offset() + 12], 0xF1);
    EXPECT_EQ(fs.journal_pos, 28u);
    EXPECT_EQ(flash16(flash, 16 * e.new_inode + 8), 0xFFFF);  // nothing applied
    ffs_stat_info st;
    EXPECT_EQ(ffs_stat("/half", &st), FFS_E_NOTFOUND);
}

TEST(FfsMount, JournalPositionFollowsTheAppliedRecords)
{
    ImageBuilder b;
    ffs_image::applied_journal_records(b, 250);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.journal_pos, 12u + 250u * 16u);
}

TEST(FfsMount, ErasedHeaderOverDataIsMarkedLost)
{
    ImageBuilder b = recipe("erased-header");  // block 4
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_state(flash, 4), 0xFF7F);
    EXPECT_EQ(flash.erases()[4], 0u);
}

TEST(FfsMount, GarbageHeaderGetsAgeZeroAndIsMarkedLost)
{
    ImageBuilder b;
    b.write_garbage_header(6);
    const std::uint16_t garbage_state = b.state(6);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_age(flash, 6), 0);
    EXPECT_EQ(block_state(flash, 6), garbage_state & 0xFF7F);
    EXPECT_TRUE(flash.violations().empty());
}

TEST(FfsMount, UnknownStateWordIsMarkedLost)
{
    ImageBuilder b;
    b.write_state(8, 0xFFBE);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(block_state(flash, 8), 0xFF3E);
    EXPECT_EQ(fs.block_stat[8].state, 0xFF3E);
}

TEST(FfsMount, OldFormatBlockDecidesTheVersionUnlessALaterBlockOverrides)
{
    ImageBuilder last;
    last.write_old_format_header(63);
    RecordingFlash flash(last.image());
    EXPECT_EQ(ffs_initialize(), FFS_E_BADFORMAT);

    ImageBuilder early;
    early.write_old_format_header(10);
    RecordingFlash flash2(early.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.block_stat[10].state, 0xFFBD);  // taken as data, header unchanged
    EXPECT_EQ(flash16(flash2, 10 * 0x10000u + 4), 0x5346);
}

TEST(FfsMount, MajorVersionThreeIsIncompatible)
{
    ImageBuilder b;
    for (int block = 0; block < 64; ++block)
        b.write_version(block, 0x0310);
    RecordingFlash flash(b.image());
    EXPECT_EQ(ffs_initialize(), FFS_E_BADFORMAT);
}

TEST(FfsMount, NoRootIsNotFormatted)
{
    ImageBuilder b;
    b.set_flags(b.root(), 0);
    RecordingFlash flash(b.image());
    EXPECT_EQ(ffs_initialize(), FFS_E_NOFORMAT);
}

TEST(FfsMount, OnlyADirectoryNamedWithASlashIsTheRoot)
{
    ImageBuilder b;
    const int fake = b.file(b.root(), "/x/c100", bytes_of("data"));  // a later slot than the root
    ASSERT_GT(fake, b.root());
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.root, b.root());
    EXPECT_EQ(fs.chunk_size, 8192);  // the file's name carries no parameters
}

TEST(FfsMount, AgesAreTrackedAcrossTheWrap)
{
    ImageBuilder b;
    for (int block = 0; block < 64; ++block)
        b.write_age(block, static_cast<std::uint16_t>(0xFFF0 + block % 8));  // 0xFFF0..0xFFF7
    b.write_age(20, 0x0003);
    b.write_age(21, 0x0002);
    b.erase_block(30);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.age_max, 0x0003);
    EXPECT_EQ(block_age(flash, 30), 0x0003);  // preformatted with the current age
    EXPECT_EQ(block_state(flash, 30), 0xFFBF);
}

TEST(FfsMount, MissingJournalIsCreatedAndWrongSizedOneReplaced)
{
    ImageBuilder b(layout_for("/", 0));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_GT(fs.journal, 0);
    EXPECT_EQ(flash.image()[16 * fs.journal + 3], 0xE1);
    expect_consistent(flash);

    ImageBuilder c(layout_for("/", 2048));
    RecordingFlash flash2(c.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_NE(fs.journal, c.journal());
    EXPECT_EQ(flash2.image()[16 * c.journal() + 3], 0);  // old journal deleted
    // The replacement was logged in the old journal.
    EXPECT_EQ(flash2.image()[c.journal_offset() + 12], 0xF1);
    expect_consistent(flash2);
}

TEST(FfsMount, RootWithoutJournalParameterRunsWithoutJournal)
{
    ImageBuilder b(no_journal());
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.journal, 0);
    EXPECT_EQ(flash.operations(), 0u);
}

TEST(FfsMount, BlockUsedBytesIsTheHighWaterMark)
{
    ImageBuilder b;
    b.erase_block(12);
    b.image()[13 * 0x10000u + 5] = 0x00;       // block 13: header unit only
    b.image()[14 * 0x10000u + 0x1234] = 0x7F;  // block 14: a byte inside
    b.image()[15 * 0x10000u + 0xFFFF] = 0x00;  // block 15: the last byte
    b.image()[16 * 0x10000u + 0xFBFF] = 0xFE;  // block 16: the last byte below a kilobyte
    b.image()[17 * 0x10000u + 0xFC00] = 0xFE;  // block 17: the first byte of the last kilobyte
    b.image()[18 * 0x10000u + 0x03F0] = 0x7F;  // block 18: the last unit of the first kilobyte
    RecordingFlash flash(b.image());
    flashfs::ffs_dev_init();
    EXPECT_EQ(flashfs::block_used_bytes(12), 0);
    EXPECT_EQ(flashfs::block_used_bytes(13), 16);
    EXPECT_EQ(flashfs::block_used_bytes(14), 0x1240);
    EXPECT_EQ(flashfs::block_used_bytes(15), 0x10000);
    EXPECT_EQ(flashfs::block_used_bytes(16), 0xFC00);
    EXPECT_EQ(flashfs::block_used_bytes(17), 0xFC10);
    EXPECT_EQ(flashfs::block_used_bytes(18), 0x0400);
}

// Slots are counted wherever they lie in the table: around the places where a mount passes
// never-written slots many at a time, and in the last slots.
TEST(FfsMount, UsedSlotsAnywhereInTheTableAreCounted)
{
    ImageBuilder b = recipe("tree");
    const int lost_before = ffs_image::check_image(b.area()).blocks[b.inode_block()].lost;  // its deleted slots
    const ffs_image::InodeFields deleted{16, 0x00, -1, -1, b.inode(b.root()).location, 0x0007, 0};
    const std::vector<int> slots = {63, 64, 65, 127, 128, 1024, 2047, 4032, 4094, 4095};
    for (int slot : slots)
        b.set_inode(slot, deleted);
    ffs_image::InodeFields partly = ffs_image::InodeFields{};
    partly.sequence = 0x0123;  // written, never used: neither counted nor taken for erased
    b.set_inode(200, partly);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const ffs_image::CheckResult check = ffs_image::check_image(flash.data());
    EXPECT_EQ(fs.block_stat[fs.inodes].lost, lost_before + static_cast<std::int32_t>(slots.size()));
    EXPECT_EQ(fs.block_stat[fs.inodes].used, check.blocks[fs.inodes].used);
    EXPECT_EQ(fs.block_stat[fs.inodes].lost, check.blocks[fs.inodes].lost);
}
