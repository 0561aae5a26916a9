// Block allocation, data allocation, data reclaim, inode reclaim and the journal's positions.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>

#include "alloc.h"
#include "blocks.h"
#include "inodes_reclaim.h"
#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "reclaim.h"
#include "state.h"
#include "trace.h"

using namespace ffs_test;
using ffs_image::ImageBuilder;
using flashfs::fs;

namespace {

// Leaves FREE only the given blocks (the others become empty DATA blocks), with these ages.
ImageBuilder with_free_blocks(const std::vector<std::pair<int, std::uint16_t>>& free_blocks)
{
    ImageBuilder b;
    for (int block = 2; block < 64; ++block)
        b.write_state(block, ffs_image::kData);
    for (auto [block, age] : free_blocks) {
        b.write_state(block, ffs_image::kFree);
        b.write_age(block, age);
    }
    return b;
}

std::vector<std::string> fault_lines;
std::uint32_t capture_faults(std::uint32_t category, const char* text)
{
    fault_lines.emplace_back(text);
    return category;
}

}  // namespace

TEST(FfsBlockAlloc, NormalAllocationsLeaveTheSpareBlock)
{
    ImageBuilder three = with_free_blocks({{10, 1}, {11, 1}, {12, 1}});
    RecordingFlash flash(three.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::ffs_block_alloc(0, flashfs::BIT_DATA), 10);  // equal ages: lowest index
    EXPECT_EQ(block_state(flash, 10), 0xFFBD);
    EXPECT_EQ(fs.block_stat[10].used, 16);
    EXPECT_EQ(flashfs::ffs_block_alloc(0, flashfs::BIT_DATA), 11);
    EXPECT_EQ(flashfs::ffs_block_alloc(0, flashfs::BIT_DATA), -1);  // one FREE left: the spare
    EXPECT_EQ(flashfs::ffs_block_alloc(1, flashfs::BIT_COPYING), 12);
    EXPECT_EQ(block_state(flash, 12), 0xFFBB);
    EXPECT_EQ(flashfs::ffs_block_alloc(1, flashfs::BIT_DATA), -1);  // none at all
}

TEST(FfsBlockAlloc, TheOldestAgeWinsUnlessAgesWrapped)
{
    ImageBuilder plain = with_free_blocks({{20, 7}, {30, 5}, {40, 6}});
    RecordingFlash flash(plain.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::ffs_block_alloc(1, flashfs::BIT_DATA), 30);

    ImageBuilder wrapped = with_free_blocks({{20, 0x0002}, {30, 0xFFF0}});
    RecordingFlash flash2(wrapped.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::ffs_block_alloc(1, flashfs::BIT_DATA), 30);
}

TEST(FfsBlockAlloc, AgesGoUpByOneAndSkipZero)
{
    ImageBuilder b;
    b.write_age(33, 0xFFFF);
    b.write_age(34, 0x1234);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    flashfs::block_free(33);
    EXPECT_EQ(block_age(flash, 33), 1);
    EXPECT_EQ(block_state(flash, 33), 0xFFBF);
    flashfs::block_free(34);
    EXPECT_EQ(block_age(flash, 34), 0x1235);
    EXPECT_EQ(fs.age_max, 0x1235);  // the block was the youngest; the current age follows it
    EXPECT_TRUE(flash.violations().empty());
}

TEST(FfsDataAlloc, OneBlockCanHoldTheObjectAndTheReserve)
{
    ImageBuilder b;
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    fs.block_stat[1].used = 0x10000 - 9000;
    EXPECT_EQ(flashfs::data_alloc_try(100), 0x10000u + (0x10000 - 9000));
    fs.block_stat[1].used = 0x10000 - 8000;  // room for the object, not for the reserve too
    std::uint32_t a = flashfs::data_alloc_try(100);
    EXPECT_EQ(a, 0x10000u + (0x10000 - 8000));  // small place here, big place in a new block
    EXPECT_EQ(fs.block_stat[2].state, 0xFFBD);
}

TEST(FfsReclaim, AgeRuleAndItsCoin)
{
    for (int a : {100, 250, 300, 512})
        EXPECT_FALSE(flashfs::reclaim_by_age(a, 63));
    EXPECT_TRUE(flashfs::reclaim_by_age(448, 64));  // the other side: A + G reaches 512, G is not below 64
    EXPECT_FALSE(flashfs::reclaim_by_age(447, 64));
    EXPECT_TRUE(flashfs::reclaim_by_age(300, 250));  // no coin: A - 4 >= G
    EXPECT_FALSE(flashfs::reclaim_by_age(100, 100));
    flashfs::reclaim_seed(42);
    int heads = 0;
    for (int i = 0; i < 8000; ++i)
        heads += flashfs::reclaim_by_age(250, 249);  // n = 6, k = 2: one throw in eight
    EXPECT_NEAR(heads, 1000, 150);
    flashfs::reclaim_seed(42);
    int again = 0;
    for (int i = 0; i < 8000; ++i)
        again += flashfs::reclaim_by_age(250, 249);
    EXPECT_EQ(again, heads);  // seeded: reproducible
    flashfs::reclaim_seed(1);
}

TEST(FfsReclaim, VictimWithoutLiveObjectsIsJustErased)
{
    ImageBuilder b;
    b.start_data_block(7);
    b.set_flags(b.file(b.root(), "gone", {}), 0);
    b.write_age(7, 9);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    std::uint64_t writes_before = flash.halfword_writes();
    EXPECT_GE(flashfs::data_block_reclaim(7, 0), 0);
    EXPECT_EQ(block_state(flash, 7), 0xFFBF);
    EXPECT_EQ(block_age(flash, 7), 10);
    EXPECT_LT(flash.halfword_writes() - writes_before, 20u);  // states and a header, no objects
    expect_consistent(flash);
}

TEST(FfsReclaim, LiveObjectsMoveOutWithTheirSlotsFollowed)
{
    ImageBuilder b;
    b.start_data_block(7);
    int d = b.mkdir(b.root(), "d");
    b.file(d, "f", pattern(20000, 4));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    int fd = ffs_open("/d/f", FFS_O_READ);
    EXPECT_EQ(flashfs::data_block_reclaim(7, 0), 5);  // the directory, the file, three segments
    EXPECT_EQ(block_state(flash, 7), 0xFFBF);
    std::vector<std::uint8_t> got(20000);
    EXPECT_EQ(ffs_read(fd, got.data(), 20000), 20000);  // the open descriptor followed its file
    EXPECT_EQ(got, pattern(20000, 4));
    ffs_close(fd);
    expect_consistent(flash);
    EXPECT_TRUE(flash.violations().empty());
}

// The lowest data block is where allocations look first: while it is reclaimed nothing may land
// in it, or its objects move back into it again and again.
TEST(FfsReclaim, TheLowestBlockAsVictimTakesNoObjectsBack)
{
    ImageBuilder b;  // the root and the journal are in block 1
    int d = b.mkdir(b.root(), "d");
    b.file(d, "f", pattern(20000, 4));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const int slots_before = fs.block_stat[fs.inodes].used;
    EXPECT_EQ(flashfs::data_block_reclaim(1, 0), 7);  // root, journal, directory, file, three segments
    EXPECT_EQ(fs.block_stat[fs.inodes].used - slots_before, 7) << "one new slot per object moved";
    EXPECT_EQ(block_state(flash, 1), 0xFFBF);
    EXPECT_EQ(flash.erases()[1], 1u);
    auto check = expect_consistent(flash);
    EXPECT_EQ(check.tree["/d/f"].content, pattern(20000, 4));
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/d", &st), 0);
    EXPECT_NE(st.location >> 12, 1u) << "the directory is still in block 1";
}

TEST(FfsReclaim, FailedRelocationKeepsTheVictimAndItsObjects)
{
    ImageBuilder b(layout_for("/ffs/n8"));  // longest name accepted when creating: 8
    b.start_data_block(7);
    b.file(b.root(), "short", pattern(300, 1));
    b.file(b.root(), "a-much-longer-name", pattern(300, 2));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    fault_lines.clear();
    flashfs::trace_bind_output(capture_faults);
    EXPECT_EQ(flashfs::data_block_reclaim(7, 0), FFS_E_NAMETOOLONG);
    flashfs::trace_bind_output(nullptr);
    ASSERT_FALSE(fault_lines.empty());
    EXPECT_EQ(fault_lines[0], "[ffs] data_block_reclaim(7) object_relocate fail, error=-16");
    EXPECT_EQ(block_state(flash, 7), 0xFFBD);
    auto check = expect_consistent(flash);
    EXPECT_EQ(check.tree["/short"].content, pattern(300, 1));
    EXPECT_EQ(check.tree["/a-much-longer-name"].content, pattern(300, 2));
    EXPECT_FALSE(fs.reclaim_running);
    fs.reclaim_running = true;
    EXPECT_EQ(flashfs::data_block_reclaim(7, 0), FFS_E_RECLAIMLOOP);
    fs.reclaim_running = false;
}

TEST(FfsReclaim, AFullFileSystemRefusesInsteadOfLosingData)
{
    ImageBuilder b(layout_for("/ffs/b6r64"));  // 6 blocks; the reserve scaled down to match
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    std::map<std::string, std::vector<std::uint8_t>> kept;
    int result = 0;
    for (int i = 0; i < 200 && result == 0; ++i) {
        std::string path = "/f" + std::to_string(i);
        auto data = pattern(9000, static_cast<std::uint32_t>(i));
        result = write_file(path, data);
        if (result == 0)
            kept[path] = data;
    }
    EXPECT_EQ(result, FFS_E_NOSPACE);
    ASSERT_EQ(ffs_initialize(), 0);
    auto check = expect_consistent(flash);
    for (const auto& [path, data] : kept)
        EXPECT_EQ(check.tree[path].content, data) << path;
    // Space comes back after removals.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ffs_remove(("/f" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(write_file("/again", pattern(9000, 99)), 0);
    expect_consistent(flash);
    EXPECT_TRUE(flash.violations().empty());
}

// With a small inode table the victim may hold more live objects than the table has free slots
// even after an inode reclaim. Starting the reclaim anyway took the spare block as its target,
// failed half way and left no FREE block: no data or inode reclaim could ever run again, and the
// file system took no more writes even after files were removed.
TEST(FfsReclaim, AVictimTheTableCannotRelocateKeepsTheSpareBlock)
{
    ImageBuilder b(layout_for("/ffs/b4i40j1r2048", 256));
    b.place(std::vector<std::uint8_t>(58000, 0));  // dead space: block 1 nearly full
    b.place(std::vector<std::uint8_t>(58000, 0));  // and block 2
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    for (int i = 0; i < 15; ++i)  // 30 live objects in block 1, 36 allocatable slots
        ASSERT_EQ(write_file("/f" + std::to_string(i), pattern(40, static_cast<std::uint32_t>(i))), 0) << i;
    const int spare = 3;
    ASSERT_EQ(fs.block_stat[spare].state, 0xFFBF);

    EXPECT_EQ(write_file("/big", pattern(8000, 1)), FFS_E_NOSPACE);  // needs block 1 reclaimed
    int free_blocks = 0;
    for (int block = 0; block < 4; ++block)
        free_blocks += fs.block_stat[block].state == 0xFFBF;
    EXPECT_EQ(free_blocks, 1);
    ASSERT_EQ(ffs_initialize(), 0);
    expect_consistent(flash, 256);

    // Fewer objects: the reclaim can run, and the write goes through.
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(ffs_remove(("/f" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(write_file("/big", pattern(8000, 1)), 0);
    EXPECT_EQ(read_back("/big"), pattern(8000, 1));
    expect_consistent(flash, 256);
    EXPECT_TRUE(flash.violations().empty());
}

// A request no reclaim could satisfy does not start one: it would only erase and wear blocks.
TEST(FfsReclaim, MoreThanAllTheFreeSpaceReclaimsNothing)
{
    ImageBuilder b;
    b.start_data_block(7);
    b.set_flags(b.file(b.root(), "gone", pattern(30000, 1)), 0);  // lost space a reclaim could win
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    flash.reset_counts();
    EXPECT_EQ(flashfs::data_reclaim(64 * 0x10000), 0);
    EXPECT_EQ(flash.operations(), 0u);
    EXPECT_EQ(fs.block_stat[7].state, 0xFFBD);
}

TEST(FfsReclaim, NoFreeBlockAtAllIsRefused)
{
    ImageBuilder b;
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    for (int block = 2; block < 64; ++block)
        fs.block_stat[block].state = 0xFFBD;  // every block in use, none FREE
    fault_lines.clear();
    flashfs::trace_bind_output(capture_faults);
    EXPECT_EQ(flashfs::data_reclaim(100), FFS_E_NOSPACE);
    flashfs::trace_bind_output(nullptr);
    ASSERT_EQ(fault_lines.size(), 1u);
    EXPECT_EQ(fault_lines[0], "[ffs] Not any free block exist, we need to clean one data block!");
    EXPECT_EQ(flash.erases()[1], 0u);
}

TEST(FfsJournal, RecordsAdvanceAndTheJournalIsReplacedAt4044)
{
    ImageBuilder b;
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const int old_journal = fs.journal;
    const std::uint32_t old_offset = 16u * static_cast<std::uint32_t>(flashfs::inode(old_journal).location());
    for (int k = 1; k <= 251; ++k) {
        ASSERT_EQ(ffs_mkdir(("/d" + std::to_string(k)).c_str()), 0);
        ASSERT_EQ(fs.journal_pos, 12u + 16u * static_cast<std::uint32_t>(k));
    }
    ASSERT_EQ(fs.journal, old_journal);
    ASSERT_EQ(ffs_mkdir("/last"), 0);  // its record at 4028; the position reaches 4044
    EXPECT_NE(fs.journal, old_journal);
    EXPECT_EQ(fs.journal_pos, 12u);
    ffs_image::JournalEntry replacing = ffs_image::read_journal_entry(flash.data(), old_offset + 4044);
    EXPECT_EQ(replacing.state, 0xF1);
    EXPECT_EQ(replacing.old_inode, old_journal);
    EXPECT_EQ(replacing.new_inode, fs.journal);
    EXPECT_EQ(replacing.flags, 0xE1);
    EXPECT_EQ(flash.image()[old_offset + 4060], 0xFF);
    expect_consistent(flash);
}

TEST(FfsJournal, WithoutAJournalEveryTransactionIsAppliedDirectly)
{
    ImageBuilder b(no_journal());
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ASSERT_EQ(ffs_mkdir("/d"), 0);
    ASSERT_EQ(write_file("/d/f", pattern(20000)), 0);
    ASSERT_EQ(write_file("/d/f", pattern(5000)), 0);
    EXPECT_EQ(fs.journal, 0);
    auto check = expect_consistent(flash, 0);
    EXPECT_EQ(check.tree["/d/f"].content, pattern(5000));
}

TEST(FfsInodeReclaim, SlotNumbersStayAndDeletedSlotsAreDropped)
{
    ImageBuilder b(layout_for("/ffs/i40"));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ASSERT_EQ(ffs_mkdir("/keep"), 0);
    ASSERT_EQ(write_file("/keep/a", pattern(20000, 1)), 0);
    ASSERT_EQ(write_file("/keep/b", pattern(10, 2)), 0);
    ASSERT_EQ(write_file("/gone", pattern(9000, 3)), 0);
    ASSERT_EQ(ffs_remove("/gone"), 0);
    const int table = fs.inodes;
    auto before = expect_consistent(flash);
    ASSERT_EQ(flashfs::inodes_reclaim(), 0);
    ASSERT_NE(fs.inodes, table);
    EXPECT_EQ(block_state(flash, table), 0xFFBF);  // the old table was erased
    auto after = expect_consistent(flash);
    for (const char* path : {"/keep", "/keep/a", "/keep/b", "/.journal"}) {
        EXPECT_EQ(after.tree[path].inode, before.tree[path].inode) << path;
        EXPECT_EQ(after.tree[path].content, before.tree[path].content) << path;
    }
    int live = 0;
    for (int slot = 1; slot < 40; ++slot) {
        const std::uint8_t* p = flash.data() + fs.inodes * 0x10000u + 16u * slot;
        bool erased = std::all_of(p, p + 16, [](std::uint8_t c) { return c == 0xFF; });
        bool valid = (p[3] & 7) >= 1 && (p[3] & 7) <= 4;
        EXPECT_TRUE(erased || valid) << "slot " << slot;
        live += valid;
    }
    EXPECT_EQ(live, 1 + 1 + 1 + 4 + 1 + 1);  // root, journal, keep, a and its 3 segments, b and its segment
    EXPECT_TRUE(flash.violations().empty());
}

// Slots from inodes_max - 4 up are never handed out, not even when the table is full.
TEST(FfsInodeReclaim, TheTopFourSlotsStayUnused)
{
    ImageBuilder b(layout_for("/ffs/i24"));  // slots 1 to 19 can be allocated
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    int made = 0;
    int result = 0;
    while (made < 30 && (result = ffs_mkdir(("/d" + std::to_string(made)).c_str())) == 0)
        ++made;
    EXPECT_EQ(result, FFS_E_FSFULL);
    EXPECT_EQ(made, 17);  // slots 3 to 19 after the root and the journal
    for (int slot = 20; slot < 24; ++slot)
        EXPECT_EQ(flash16(flash, fs.inodes * 0x10000u + 16 * slot + 8), 0xFFFF) << "slot " << slot << " was used";
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/d16", &st), 0);
    EXPECT_EQ(st.inode, 19);
    ASSERT_EQ(ffs_initialize(), 0);
    expect_consistent(flash);
}

TEST(FfsInodeReclaim, RunsWhenNoSlotIsLeft)
{
    ImageBuilder b(layout_for("/ffs/i24"));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const int table = fs.inodes;
    for (int round = 0; round < 30 && fs.inodes == table; ++round)
        ASSERT_EQ(write_file("/churn", pattern(100, static_cast<std::uint32_t>(round))), 0);
    EXPECT_NE(fs.inodes, table);
    auto check = expect_consistent(flash);
    EXPECT_EQ(check.tree["/churn"].content.size(), 100u);
}

// A table damaged after the mount (its loop was not there when the mount walked it): the copy
// fails with FFS_E_SIBLINGLOOP as soon as it comes round, not after writing thousands of slots
// on its way to the bounds, and leaves the flash as it was.
TEST(FfsInodeReclaim, ALoopInTheTableEndsTheCopyAtOnce)
{
    struct Relink {
        int slot;
        std::uint32_t field;
        int target;
    };
    struct Damage {
        const char* name;
        Relink (*make)(ImageBuilder& b);
    };
    const Damage damages[] = {
        {"a directory inside its own subtree",
         [](ImageBuilder& b) {
             const int outer = b.mkdir(b.root(), "outer");
             const int inner = b.mkdir(outer, "inner");
             b.file(inner, "f", pattern(3000));
             return Relink{inner, flashfs::inode_offset::child, outer};
         }},
        {"a segment chain leading back into itself",
         [](ImageBuilder& b) {
             const int f = b.file(b.root(), "f", pattern(3 * 8192));
             const int first = b.inode(f).child;
             return Relink{b.inode(b.inode(first).child).child, flashfs::inode_offset::child, first};
         }},
        {"a directory's entries leading back to the first",
         [](ImageBuilder& b) {
             const int d = b.mkdir(b.root(), "d");
             const int first = b.file(d, "a", pattern(100));
             const int last = b.file(d, "b", pattern(100));
             return Relink{last, flashfs::inode_offset::sibling, first};
         }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        ImageBuilder b(layout_for("/ffs/i64"));
        const Relink relink = damage.make(b);
        RecordingFlash flash(b.image());
        ASSERT_EQ(ffs_initialize(), 0);
        std::uint8_t* field = flash.data() + flashfs::inode_offset_of(relink.slot) + relink.field;
        field[0] = static_cast<std::uint8_t>(relink.target);
        field[1] = static_cast<std::uint8_t>(relink.target >> 8);
        const std::vector<std::uint8_t> before = flash.image();
        const int table = fs.inodes;
        flash.reset_counts();
        EXPECT_EQ(flashfs::inodes_reclaim(), FFS_E_SIBLINGLOOP);
        EXPECT_EQ(fs.inodes, table);
        EXPECT_LT(flash.halfword_writes(), 300u);  // going round to the bounds wrote over 20,000
        // The block taken for the copy is erased again; only its age counts the erase.
        std::vector<std::uint8_t> after = flash.image();
        for (std::uint32_t block = 0; block < 64; ++block)
            std::copy_n(before.begin() + block * 0x10000 + 6, 2, after.begin() + block * 0x10000 + 6);
        EXPECT_TRUE(after == before);
        EXPECT_TRUE(flash.violations().empty());
    }
}

// Twin directories (a relocation cut short leaves the new directory beside the old, both holding
// the same entries) nested in each other: a copy that went into both twins of every level did
// twice the work at each level down.
TEST(FfsInodeReclaim, NestedTwinDirectoriesAreCopiedOnce)
{
    constexpr int kLevels = 20;
    ImageBuilder b(layout_for("/ffs/i256"));
    int parent = b.root();
    std::vector<std::pair<int, int>> twins;
    for (int level = 0; level < kLevels; ++level) {
        const int first = b.mkdir(parent, "t");
        const int second = b.mkdir(parent, "t");
        twins.emplace_back(first, second);
        b.file(first, "f", pattern(100, static_cast<std::uint32_t>(level)));
        parent = first;
    }
    for (auto [first, second] : twins) {
        ffs_image::InodeFields fields = b.inode(second);
        fields.child = b.inode(first).child;  // the twin shares the entries
        b.set_inode(second, fields);
    }
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const int table = fs.inodes;
    const std::vector<std::uint8_t> before = flash.image();
    flash.reset_counts();
    ASSERT_EQ(flashfs::inodes_reclaim(), 0);
    ASSERT_NE(fs.inodes, table);
    EXPECT_LT(flash.halfword_writes(), 2000u);  // copying every twin's entries wrote millions
    // The table's use counts what a copy into every twin counted: the root and the journal, then
    // at each level both twins, each with its file (object and segment) and the level below.
    EXPECT_EQ(fs.block_stat[fs.inodes].used, 2 + 2 * 3 * ((1 << kLevels) - 1));
    // Slot numbers stay and nothing was deleted: the new table is the old one, byte for byte.
    EXPECT_TRUE(std::equal(before.begin() + table * 0x10000 + 16, before.begin() + table * 0x10000 + 256 * 16,
                           flash.image().begin() + fs.inodes * 0x10000 + 16));
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(read_back("/t/t/f"), pattern(100, 1));
    EXPECT_TRUE(flash.violations().empty());
}

TEST(FfsChurn, AccountingStaysEqualToARecount)
{
    ImageBuilder b(layout_for("/ffs/b8i64c2048j1", 256, 2048));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    std::mt19937 random(3);
    std::map<std::string, std::vector<std::uint8_t>> model;
    for (int i = 0; i < 300; ++i) {
        std::string path = "/f" + std::to_string(random() % 7);
        if (model.count(path) && random() % 5 == 0) {
            ASSERT_EQ(ffs_remove(path.c_str()), 0);
            model.erase(path);
        } else {
            auto data = pattern(500 + random() % 6000, static_cast<std::uint32_t>(i));
            if (model.count(path)) {
                ASSERT_EQ(ffs_remove(path.c_str()), 0);
            }
            ASSERT_EQ(write_file(path, data), 0) << "step " << i;
            model[path] = data;
        }
        auto check = expect_consistent(flash, 256);
        if (::testing::Test::HasFailure())
            FAIL() << "after step " << i;
        for (const auto& [p, data] : model)
            ASSERT_EQ(check.tree[p].content, data) << p;
    }
    EXPECT_GT(std::accumulate(flash.erases().begin(), flash.erases().end(), std::uint64_t{0}), 10u);
    EXPECT_TRUE(flash.violations().empty());
}

TEST(FfsJournal, StaysTheJournalWhenItsReplacementReusesAFreedSlot)
{
    // A small journal is replaced inside the commit of a transaction whose old inode was just
    // deleted; a small inode table makes the replacement reclaim slots and hand out that very slot.
    ImageBuilder b(layout_for("/ffs/j1c1024i14", 256, 1024));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ASSERT_EQ(write_file("/f", pattern(5000, 0)), 0);
    for (int round = 1; round <= 100; ++round) {
        auto data = pattern(5000, static_cast<std::uint32_t>(round));
        ASSERT_EQ(write_file("/f", data, FFS_O_READ | FFS_O_WRITE), 0) << "round " << round;
        ASSERT_EQ(flashfs::inode(fs.journal).flags(), 0xE1) << "round " << round;
        auto check = expect_consistent(flash, 256);
        ASSERT_FALSE(::testing::Test::HasFailure()) << "round " << round;
        ASSERT_EQ(check.tree["/f"].content, data) << "round " << round;
    }
}
