// Path resolution and chain walking on images laid out by the builder.
#include <gtest/gtest.h>

#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "objects.h"
#include "state.h"

using namespace ffs_test;
using ffs_image::ImageBuilder;
using flashfs::fs;

TEST(FfsPaths, LookupsInAnEmptyRoot)
{
    ImageBuilder b(no_journal());
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    const char* leaf = nullptr;
    int dir = -1;
    EXPECT_EQ(flashfs::path_lookup("/", &leaf, &dir), b.root());
    EXPECT_EQ(dir, 0);
    const char* path = "/a";
    EXPECT_EQ(flashfs::path_lookup(path, &leaf, &dir), FFS_E_NOTFOUND);
    EXPECT_EQ(leaf, path + 1);
    EXPECT_EQ(dir, b.root());
    EXPECT_EQ(flashfs::path_lookup("/n/x"), FFS_E_NOTFOUND);  // empty: not found at once
    EXPECT_EQ(flashfs::path_lookup(nullptr), FFS_E_BADNAME);
    EXPECT_EQ(flashfs::path_lookup("a"), FFS_E_BADNAME);
}

TEST(FfsPaths, LookupsThroughDirectories)
{
    ImageBuilder b(no_journal());
    int d = b.mkdir(b.root(), "d");
    b.deleted(d, "x");  // skipped, and does not hide the one after it
    int x = b.file(d, "x", bytes_of("1"));
    b.file(b.root(), "f", bytes_of("2"));
    int e = b.mkdir(b.root(), "e");
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::path_lookup("/d/x"), x);
    EXPECT_EQ(flashfs::path_lookup("/f/x"), FFS_E_NOTADIR);
    EXPECT_EQ(flashfs::path_lookup("/n/x"), FFS_E_NOTADIR);
    EXPECT_EQ(flashfs::path_lookup("/d/xy"), FFS_E_NOTFOUND);
    EXPECT_EQ(flashfs::path_lookup("/d/"), FFS_E_NOTFOUND);
    EXPECT_EQ(flashfs::dir_lookup("/f"), FFS_E_NOTADIR);
    EXPECT_EQ(flashfs::dir_lookup("/d"), d);
    int count = 0;
    EXPECT_EQ(flashfs::dir_last(-d, &count), x);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(flashfs::dir_last(-e, &count), -e);  // no entries: the request itself
    EXPECT_EQ(count, 0);
    char name[FFS_NAME_BUFFER];
    EXPECT_EQ(flashfs::dir_next(d, d, name, sizeof name), x);
    EXPECT_STREQ(name, "x");
    EXPECT_EQ(flashfs::dir_next(d, x, name, sizeof name), 0);
}

TEST(FfsPaths, NamesAndProtection)
{
    ImageBuilder b;
    int sys = b.mkdir(b.root(), "sys");
    int imei = b.file(sys, "IMEI", bytes_of("1"), 0xE1);
    int ro = b.file(sys, "ro", bytes_of("1"), 0xE1);
    int rw = b.file(sys, "rwIMEI", bytes_of("1"));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::name_check("good.name"), 9);
    EXPECT_EQ(flashfs::name_check(std::string(40, 'x').c_str()), 40);
    EXPECT_EQ(flashfs::name_check(std::string(41, 'x').c_str()), FFS_E_NAMETOOLONG);
    EXPECT_EQ(flashfs::name_check(""), FFS_E_BADNAME);
    for (const char* bad : {"a\\b", "a:b", "a*", "?", "\"", "<", ">", "|"})
        EXPECT_EQ(flashfs::name_check(bad), FFS_E_BADNAME) << bad;
    EXPECT_EQ(flashfs::is_protected(b.root(), "/"), FFS_E_ACCESS);
    EXPECT_EQ(flashfs::is_protected(b.journal(), "/.journal"), FFS_E_ACCESS);
    EXPECT_EQ(flashfs::is_protected(imei, "/sys/IMEI"), FFS_E_ACCESS);
    EXPECT_EQ(flashfs::is_protected(ro, "/sys/ro"), ro);
    EXPECT_EQ(flashfs::is_protected(rw, "/sys/rwIMEI"), rw);  // writable: IMEI does not matter
}

TEST(FfsSegments, FindingOffsetsInAFile)
{
    ImageBuilder b;
    int empty = b.file(b.root(), "empty", {});
    int f = b.file(b.root(), "f", pattern(20000));
    int inline_file = b.file_inline(b.root(), "inline", pattern(100));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    int segment = -1;
    std::int32_t offset = -1;
    EXPECT_EQ(flashfs::segment_find(empty, 0, &segment, &offset), 0);
    EXPECT_EQ(segment, empty);
    EXPECT_EQ(offset, 0);

    const int first = flashfs::segment_next(f);
    const int second = flashfs::segment_next(first);
    const int third = flashfs::segment_next(second);
    EXPECT_EQ(flashfs::segment_next(third), 0);
    EXPECT_EQ(flashfs::segment_last(f), third);
    EXPECT_EQ(flashfs::segment_find(f, 8192, &segment, &offset), 8192);
    EXPECT_EQ(segment, second);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(flashfs::segment_find(f, 19999, &segment, &offset), 19999);
    EXPECT_EQ(segment, third);
    EXPECT_EQ(offset, 3615);
    EXPECT_EQ(flashfs::segment_find(f, 0x7FFFFFFF, &segment, &offset), 20000);
    EXPECT_EQ(segment, third);
    EXPECT_EQ(offset, 3616);
    EXPECT_EQ(flashfs::segment_datasize(third), 3616);

    std::uint8_t buffer[10];
    EXPECT_EQ(flashfs::segment_read(inline_file, buffer, 10, 95), 5);
    EXPECT_EQ(flashfs::segment_read(inline_file, nullptr, 10, 0), FFS_E_INVALID);
    EXPECT_EQ(flashfs::segment_find(inline_file, 50, &segment, &offset), 50);
    EXPECT_EQ(segment, inline_file);
}

TEST(FfsSegments, ReplacedSegmentsAreFollowedThroughTheirOldSlot)
{
    ImageBuilder b;
    int f = b.file(b.root(), "f", pattern(9000, 1));
    int first = b.inode(f).child;
    int replacement = b.replace_segment(first, pattern(8192, 2));
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(flashfs::segment_next(f), replacement);
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/f", &st), 0);
    EXPECT_EQ(st.size, 8192 + 808);
    EXPECT_EQ(st.segments, 2);
    // Writing into a file whose data partly lies in its file object.
    ImageBuilder c;
    c.file_inline(c.root(), "mixed", pattern(100, 3));
    RecordingFlash flash2(c.image());
    ASSERT_EQ(ffs_initialize(), 0);
    int fd = ffs_open("/mixed", FFS_O_WRITE | FFS_O_APPEND);
    ASSERT_EQ(ffs_write_b(fd, "tail", 4), 4);
    ASSERT_EQ(ffs_close(fd), 0);
    auto check = expect_consistent(flash2);
    auto expected = pattern(100, 3);
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(check.tree["/mixed"].content, expected);
    EXPECT_EQ(check.tree["/mixed"].pieces, (std::vector<std::uint32_t>{104}));  // rewritten in the file object
}
