// File operations on a formatted image: the results on flash and through the API.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "state.h"

using namespace ffs_test;
using ffs_image::ImageBuilder;
using flashfs::fs;

namespace {

class FfsFileOps : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ffs_initialize(), 0); }
    void TearDown() override { EXPECT_TRUE(flash_.violations().empty()); }
    ImageBuilder builder_;
    RecordingFlash flash_{builder_.image()};
};

}  // namespace

TEST_F(FfsFileOps, TwentyThousandBytesBecomeThreeSegments)
{
    const auto data = pattern(20000);
    int fd = ffs_open("/f.bin", 0x2B);
    EXPECT_EQ(fd, 49);
    EXPECT_EQ(ffs_write_b(fd, data.data(), 20000), 20000);
    EXPECT_EQ(ffs_close(fd), 0);
    auto check = expect_consistent(flash_);
    ASSERT_TRUE(check.tree.count("/f.bin"));
    EXPECT_EQ(check.tree["/f.bin"].pieces, (std::vector<std::uint32_t>{0, 8192, 8192, 3616}));
    EXPECT_EQ(check.tree["/f.bin"].content, data);
    EXPECT_EQ(read_back("/f.bin"), data);
}

TEST_F(FfsFileOps, DescriptorsAndLocks)
{
    ASSERT_EQ(write_file("/a", bytes_of("alpha")), 0);
    int r1 = ffs_open("/a", FFS_O_READ);
    int r2 = ffs_open("/a", FFS_O_READ);
    EXPECT_EQ(r1, 49);
    EXPECT_EQ(r2, 50);
    EXPECT_EQ(ffs_open("/a", FFS_O_WRITE), FFS_E_LOCKED);
    EXPECT_EQ(ffs_remove("/a"), FFS_E_LOCKED);
    EXPECT_EQ(ffs_open("/a", FFS_O_READ), 51);
    EXPECT_EQ(ffs_open("/a", FFS_O_READ), 52);
    EXPECT_EQ(ffs_open("/a", FFS_O_READ), FFS_E_NUMFD);
    for (int fd = 49; fd <= 52; ++fd)
        EXPECT_EQ(ffs_close(fd), 0);
    EXPECT_EQ(ffs_close(49), FFS_E_BADFD);
    EXPECT_EQ(ffs_close(48), FFS_E_BADFD);
    int w = ffs_open("/a", FFS_O_WRITE);
    EXPECT_EQ(ffs_open("/a", FFS_O_READ), FFS_E_LOCKED);
    EXPECT_EQ(ffs_close(w), 0);
}

TEST_F(FfsFileOps, OpenFlagsAndArguments)
{
    ASSERT_EQ(ffs_mkdir("/d"), 0);
    ASSERT_EQ(write_file("/d/f", bytes_of("data")), 0);
    EXPECT_EQ(ffs_open("/d/f", 0), FFS_E_INVALID);
    EXPECT_EQ(ffs_open("/d/f", FFS_O_READ | FFS_O_CREATE), FFS_E_INVALID);
    EXPECT_EQ(ffs_open("/d/missing", FFS_O_WRITE), FFS_E_NOTFOUND);
    EXPECT_EQ(ffs_open("/d/missing", FFS_O_READ), FFS_E_NOTFOUND);
    EXPECT_EQ(ffs_open("/d/f", FFS_O_WRITE | FFS_O_CREATE | FFS_O_EXCL), FFS_E_EXISTS);
    EXPECT_EQ(ffs_open("/d", FFS_O_READ), FFS_E_NOTAFILE);
    EXPECT_EQ(ffs_mkdir("/d"), FFS_E_EXISTS);
    EXPECT_EQ(ffs_mkdir("/d/f"), FFS_E_EXISTS);
    ffs_dir cursor;
    EXPECT_EQ(ffs_opendir("/d/f", &cursor), FFS_E_NOTADIR);
    EXPECT_EQ(ffs_readdir(nullptr, nullptr, 0), FFS_E_INVALID);

    int fd = ffs_open("/d/f", FFS_O_WRITE);
    std::uint8_t b = 0;
    EXPECT_EQ(ffs_write_b(fd, nullptr, 1), FFS_E_INVALID);
    EXPECT_EQ(ffs_write_b(fd, &b, -1), FFS_E_INVALID);
    EXPECT_EQ(ffs_write_b(fd + 1, &b, 1), FFS_E_BADFD);
    EXPECT_EQ(ffs_read(fd, &b, 1), FFS_E_INVALID);
    EXPECT_EQ(ffs_close(fd), 0);
    int rd = ffs_open("/d/f", FFS_O_READ);
    EXPECT_EQ(ffs_write_b(rd, &b, 1), FFS_E_INVALID);
    EXPECT_EQ(ffs_close(rd), 0);
}

TEST_F(FfsFileOps, ReadWriteOpenNeitherTruncatesNorMoves)
{
    const auto data = pattern(10000, 7);
    ASSERT_EQ(write_file("/f", data), 0);
    int fd = ffs_open("/f", FFS_O_READ | FFS_O_WRITE);
    ASSERT_GE(fd, 49);
    EXPECT_EQ(ffs_write_b(fd, "xyz", 3), 3);
    EXPECT_EQ(ffs_close(fd), 0);
    auto expected = data;
    std::copy_n("xyz", 3, expected.begin());
    EXPECT_EQ(read_back("/f"), expected);
    expect_consistent(flash_);
}

TEST_F(FfsFileOps, AppendExtendsTheLastSegment)
{
    const auto first = pattern(9000, 1);
    const auto second = pattern(12000, 2);
    ASSERT_EQ(write_file("/log", first), 0);
    ASSERT_EQ(write_file("/log", second, FFS_O_WRITE | FFS_O_APPEND), 0);
    auto expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(read_back("/log"), expected);
    auto check = expect_consistent(flash_);
    EXPECT_EQ(check.tree["/log"].pieces, (std::vector<std::uint32_t>{0, 8192, 8192, 4616}));
}

TEST_F(FfsFileOps, ManySmallWritesGoThroughTheBuffer)
{
    const auto data = pattern(30000, 3);
    int fd = ffs_open("/s", 0x2B);
    for (std::size_t at = 0; at < data.size(); at += 700) {
        int n = static_cast<int>(std::min<std::size_t>(700, data.size() - at));
        ASSERT_EQ(ffs_write_b(fd, data.data() + at, n), n);
    }
    EXPECT_EQ(ffs_close(fd), 0);
    EXPECT_EQ(read_back("/s"), data);
    auto check = expect_consistent(flash_);
    EXPECT_EQ(check.tree["/s"].pieces, (std::vector<std::uint32_t>{0, 8192, 8192, 8192, 5424}));
}

TEST_F(FfsFileOps, TruncateReplacesTheFileAndItsSegments)
{
    ASSERT_EQ(ffs_mkdir("/d"), 0);
    ASSERT_EQ(write_file("/d/one", pattern(20000)), 0);
    ASSERT_EQ(write_file("/d/two", bytes_of("2")), 0);
    ffs_stat_info before;
    ASSERT_EQ(ffs_stat("/d/one", &before), 0);
    int fd = ffs_open("/d/one", FFS_O_WRITE | FFS_O_TRUNC);
    ASSERT_GE(fd, 49);
    EXPECT_EQ(ffs_close(fd), 0);
    ffs_stat_info after;
    ASSERT_EQ(ffs_stat("/d/one", &after), 0);
    EXPECT_EQ(after.size, 0);
    EXPECT_EQ(after.segments, 0);
    EXPECT_NE(after.inode, before.inode);
    EXPECT_EQ(after.updates, 1);
    // The new empty file is the last entry of its directory.
    ffs_dir cursor;
    ASSERT_EQ(ffs_opendir("/d", &cursor), 2);
    char name[FFS_NAME_BUFFER];
    EXPECT_GT(ffs_readdir(&cursor, name, sizeof name), 0);
    EXPECT_STREQ(name, "two");
    EXPECT_EQ(ffs_readdir(&cursor, name, sizeof name), after.inode);
    EXPECT_STREQ(name, "one");
    EXPECT_EQ(ffs_readdir(&cursor, name, sizeof name), 0);
    expect_consistent(flash_);
}

TEST_F(FfsFileOps, RemoveFilesAndDirectories)
{
    ASSERT_EQ(ffs_mkdir("/d"), 0);
    ASSERT_EQ(write_file("/d/big", pattern(30000)), 0);
    EXPECT_EQ(ffs_remove("/d"), FFS_E_DIRNOTEMPTY);
    EXPECT_EQ(ffs_remove("/d/big"), 0);
    EXPECT_EQ(ffs_remove("/d/big"), FFS_E_NOTFOUND);
    EXPECT_EQ(ffs_remove("/d"), 0);  // only deleted entries left
    EXPECT_EQ(ffs_remove("/d"), FFS_E_NOTFOUND);
    expect_consistent(flash_);
}

TEST_F(FfsFileOps, ProtectedObjects)
{
    EXPECT_EQ(ffs_remove("/"), FFS_E_ACCESS);
    EXPECT_EQ(ffs_remove("/.journal"), FFS_E_ACCESS);
    EXPECT_EQ(ffs_open("/.journal", FFS_O_WRITE), FFS_E_ACCESS);
    int fd = ffs_open("/.journal", FFS_O_READ);  // reading is allowed
    EXPECT_GE(fd, 49);
    ffs_close(fd);
}

TEST(FfsFileOpsImage, ReadOnlyFilesEndingInImeiStay)
{
    ImageBuilder b;
    int d = b.mkdir(b.root(), "sys");
    b.file(d, "IMEI", bytes_of("350000000000000"), 0xE1);
    b.file(d, "config", bytes_of("ro"), 0xE1);
    b.link(b.root(), "id", "/sys/IMEI");
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(ffs_remove("/sys/IMEI"), FFS_E_ACCESS);
    EXPECT_EQ(ffs_open("/sys/IMEI", FFS_O_WRITE | FFS_O_TRUNC), FFS_E_ACCESS);
    // Nor through a link, whose own name says nothing of the file.
    EXPECT_EQ(ffs_open("/id", 0x2B), FFS_E_ACCESS);
    EXPECT_EQ(read_back("/id"), bytes_of("350000000000000"));
    EXPECT_EQ(ffs_remove("/id"), 0);  // the link itself
    EXPECT_EQ(read_back("/sys/IMEI"), bytes_of("350000000000000"));
    EXPECT_EQ(ffs_remove("/sys/config"), 0);
}

TEST_F(FfsFileOps, NamesAndDepth)
{
    EXPECT_EQ(ffs_mkdir(("/" + std::string(41, 'n')).c_str()), FFS_E_NAMETOOLONG);
    EXPECT_EQ(ffs_mkdir(("/" + std::string(40, 'n')).c_str()), 0);
    EXPECT_EQ(ffs_mkdir("/a:b"), FFS_E_BADNAME);
    EXPECT_EQ(ffs_open("/q?", 0x2B), FFS_E_BADNAME);
    EXPECT_EQ(ffs_mkdir("relative"), FFS_E_BADNAME);
    EXPECT_EQ(ffs_mkdir("/"), FFS_E_EXISTS);
    std::string path;
    for (const char* part : {"a", "b", "c", "d", "e", "f"}) {
        path += std::string("/") + part;
        EXPECT_EQ(ffs_mkdir(path.c_str()), 0) << path;
    }
    EXPECT_EQ(write_file("/a/b/c/d/e/x", bytes_of("5 below the root")), 0);
    EXPECT_EQ(ffs_mkdir("/a/b/c/d/e/f/g"), FFS_E_PATHTOODEEP);
    EXPECT_EQ(ffs_open("/a/b/c/d/e/f/g", 0x2B), FFS_E_PATHTOODEEP);
}

TEST_F(FfsFileOps, DirectoryListing)
{
    ffs_dir cursor;
    ASSERT_EQ(ffs_mkdir("/empty"), 0);
    EXPECT_EQ(ffs_opendir("/empty", &cursor), 0);
    char name[FFS_NAME_BUFFER];
    EXPECT_EQ(ffs_readdir(&cursor, name, sizeof name), 0);
    EXPECT_EQ(ffs_opendir("/", &cursor), 2);  // .journal and empty
    EXPECT_GT(ffs_readdir(&cursor, name, sizeof name), 0);
    EXPECT_STREQ(name, ".journal");
    EXPECT_GT(ffs_readdir(&cursor, name, sizeof name), 0);
    EXPECT_STREQ(name, "empty");
    EXPECT_EQ(ffs_readdir(&cursor, name, sizeof name), 0);
}

TEST_F(FfsFileOps, AShortNameBufferGetsTheNameCutAndTerminated)
{
    ffs_dir cursor;
    ASSERT_EQ(ffs_opendir("/", &cursor), 1);
    char name[8];
    std::memset(name, 'x', sizeof name);
    EXPECT_GT(ffs_readdir(&cursor, name, 4), 0);
    EXPECT_STREQ(name, ".jo");
    EXPECT_EQ(name[4], 'x');  // nothing written past the size given

    ASSERT_EQ(ffs_opendir("/", &cursor), 1);
    std::memset(name, 'x', sizeof name);
    EXPECT_GT(ffs_readdir(&cursor, name, 0), 0);  // the entry is still passed
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(ffs_readdir(&cursor, name, sizeof name), 0);
}

TEST(FfsFileOpsImage, LinksLeadToFiles)
{
    ImageBuilder b;
    int d = b.mkdir(b.root(), "d");
    b.file(d, "target", bytes_of("through the link"));
    b.link(b.root(), "l", "/d/target");
    b.link(b.root(), "ld", "/d");
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(read_back("/l"), bytes_of("through the link"));
    EXPECT_EQ(ffs_open("/ld", FFS_O_READ), FFS_E_NOTAFILE);
    ffs_stat_info st;
    ASSERT_EQ(ffs_stat("/l", &st), 0);
    EXPECT_EQ(st.type, FFS_TYPE_LINK);
    EXPECT_EQ(ffs_remove("/l"), 0);  // the link itself
    EXPECT_EQ(read_back("/d/target"), bytes_of("through the link"));
}

TEST(FfsFileOpsImage, UserFilesNamedLikeTheJournalAreOrdinaryFiles)
{
    ImageBuilder b(no_journal());
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);
    ASSERT_EQ(ffs_mkdir("/d"), 0);
    ASSERT_EQ(write_file("/d/.journal", pattern(3000, 1)), 0);
    ASSERT_EQ(write_file("/.journal", pattern(300, 2)), 0);  // no journal here: the name is free
    ASSERT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(fs.journal, 0);
    EXPECT_EQ(read_back("/d/.journal"), pattern(3000, 1));
    EXPECT_EQ(read_back("/.journal"), pattern(300, 2));
    expect_consistent(flash, 0);
}

// Images made elsewhere may hold data in the file object, or a short segment, before further
// segments: writing into such an object rewrites it with its own length, never a chunk.
TEST(FfsFileOpsImage, ObjectsShorterThanAChunkBeforeMoreSegmentsKeepTheirLength)
{
    ImageBuilder b;
    const auto head = pattern(100, 3);
    const auto middle = pattern(500, 4);
    const auto tail = pattern(8192, 5);
    int f = b.file_inline(b.root(), "f", head);
    b.segment(b.segment(f, middle), tail);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);

    std::vector<std::uint8_t> expected = head;
    expected.insert(expected.end(), middle.begin(), middle.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    // From the middle of the file object over its end, through the short segment and into the last.
    const auto update = pattern(800, 6);
    std::copy(update.begin(), update.end(), expected.begin() + 50);
    int fd = ffs_open("/f", FFS_O_WRITE);
    ASSERT_EQ(fd, FFS_FD_BASE);
    ASSERT_EQ(ffs_write_b(fd, head.data(), 50), 50);  // the same bytes again up to the update
    EXPECT_EQ(ffs_write_b(fd, update.data(), 800), 800);
    EXPECT_EQ(ffs_close(fd), 0);
    EXPECT_EQ(read_back("/f"), expected);
    auto check = expect_consistent(flash);
    EXPECT_EQ(check.tree["/f"].pieces, (std::vector<std::uint32_t>{100, 500, 8192}));
}

// A read that runs over several segments goes on from one to the next, passing segments that
// hold nothing and replaced ones, whatever the size of each read.
TEST(FfsFileOpsImage, ReadsRunOnThroughEverySegment)
{
    ImageBuilder b;
    const auto head = pattern(100, 1);
    const auto first = pattern(500, 2);
    const auto replaced = pattern(8192, 3);
    const auto last = pattern(3000, 4);
    int f = b.file_inline(b.root(), "f", head);
    int s1 = b.segment(f, first);
    int empty = b.segment(s1, {});
    int old = b.segment(empty, pattern(8192, 9));
    b.segment(old, last);
    b.replace_segment(old, replaced);
    RecordingFlash flash(b.image());
    ASSERT_EQ(ffs_initialize(), 0);

    std::vector<std::uint8_t> expected = head;
    for (const auto* part : {&first, &replaced, &last})
        expected.insert(expected.end(), part->begin(), part->end());
    for (int size : {1, 7, 100, 600, 4096, 20000}) {
        int fd = ffs_open("/f", FFS_O_READ);
        ASSERT_GE(fd, FFS_FD_BASE);
        std::vector<std::uint8_t> got, buffer(static_cast<std::size_t>(size));
        for (int n; (n = ffs_read(fd, buffer.data(), size)) > 0;) {
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
            EXPECT_TRUE(n == size || got.size() == expected.size()) << "a short read inside the file: " << n;
        }
        EXPECT_EQ(ffs_read(fd, buffer.data(), size), 0) << size;
        EXPECT_EQ(ffs_close(fd), 0);
        EXPECT_EQ(got, expected) << "reads of " << size << " bytes";
    }
}
