// The FFS path helpers against a formatted image laid out by the fixture builder.
#include "Codepage.h"
#include "Ffsfunc.h"
#include "image_builder.h"
#include "image_check.h"

#include <gtest/gtest.h>

using namespace brovald;

namespace {

TEST(FfsPaths, ComponentsAreJoinedAbsoluteAndEmptyOnesDropped)
{
    EXPECT_EQ(path_dir("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(path_last("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(path_dir("c.txt"), "");
    EXPECT_EQ(path_last("c.txt"), "c.txt");
    EXPECT_EQ(path_dir("a/b"), "/a");
    EXPECT_EQ(path_dir("//a//b.txt"), "/a");
    EXPECT_EQ(path_last("//a//b.txt/"), "b.txt");
    EXPECT_EQ(path_last(""), "");
    EXPECT_EQ(path_last("/"), "");

    const PathList list = {"a", "b", "c"};
    EXPECT_EQ(path_join(list, -1), "");
    EXPECT_EQ(path_join(list, 0), "/a");
    EXPECT_EQ(path_join(list, 2), "/a/b/c");
    EXPECT_EQ(path_join(list, 7), "/a/b/c");
}

TEST(FfsPaths, TargetPathsHaveOneFormAndNoComponentGivesNone)
{
    EXPECT_EQ(ffs_target_path("/a/b.txt"), "/a/b.txt");
    EXPECT_EQ(ffs_target_path("//a//b.txt"), "/a/b.txt");
    EXPECT_EQ(ffs_target_path("a/b.txt"), "/a/b.txt");
    EXPECT_EQ(ffs_target_path(""), "");
    EXPECT_EQ(ffs_target_path("/"), "");
    EXPECT_EQ(ffs_target_path("///"), "");
}

TEST(FfsPaths, NamesGoToUtf8AndBack)
{
    codepage_init();
    const std::string local = utf16_to_codepage(u"/Bilder/\u00e9t\u00e9/\u00fc.txt");
    ASSERT_EQ(local.find('?'), std::string::npos) << "the test's code page must hold U+00E9 and U+00FC";
    EXPECT_EQ(to_utf8(local), "/Bilder/\xC3\xA9t\xC3\xA9/\xC3\xBC.txt");
    EXPECT_EQ(from_utf8("/Bilder/\xC3\xA9t\xC3\xA9/\xC3\xBC.txt"), local);
    EXPECT_EQ(ffs_target_path(local), "/Bilder/\xC3\xA9t\xC3\xA9/\xC3\xBC.txt");
}

// A mounted image that the helpers work on; each test starts from a fresh one.
class FfsHelpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        codepage_init();
        ffs_image::ImageBuilder builder;
        const int docs = builder.mkdir(builder.root(), "docs");
        builder.file(docs, "a.txt", {'o', 'l', 'd'});
        builder.mkdir(docs, "sub");
        builder.link(builder.root(), "to-a", "/docs/a.txt");
        area_ = builder.image();
        mounted = &area_;
        ffs_bind_flash_base([] { return mounted->data(); });
        ASSERT_EQ(ffs_initialize(), 0);
    }

    std::map<std::string, ffs_image::Entry> tree() const { return ffs_image::check_image(area_.data()).tree; }

    static int write(const std::string& path, const std::string& text)
    {
        const int fd = ffs_open(path.c_str(), FFS_O_WRITE | FFS_O_CREATE | FFS_O_TRUNC);
        if (fd < 0) {
            return fd;
        }
        const int written = ffs_write_b(fd, text.data(), static_cast<int>(text.size()));
        const int closed = ffs_close(fd);
        return written < 0 ? written : closed;
    }

    ffs_image::Image area_;
    static ffs_image::Image* mounted;
};

ffs_image::Image* FfsHelpers::mounted = nullptr;

TEST_F(FfsHelpers, SetPathCreatesEachMissingLevelOnceAndNeverTheLeaf)
{
    ffs_dir cursor{};
    EXPECT_EQ(FFS_SetPath("/x/y/z.bin", cursor), 0);
    const auto made = tree();
    EXPECT_EQ(made.at("/x").type, ffs_image::kDir);
    EXPECT_EQ(made.at("/x/y").type, ffs_image::kDir);
    EXPECT_EQ(made.count("/x/y/z.bin"), 0u);

    const ffs_image::Image before = area_;
    EXPECT_EQ(FFS_SetPath("/x/y/z.bin", cursor), 0);
    EXPECT_EQ(area_, before) << "a second call opens both levels and writes nothing";

    EXPECT_EQ(FFS_SetPath("/top.bin", cursor), 0);
    EXPECT_EQ(area_, before) << "a target in the root has no folder to make";
}

TEST_F(FfsHelpers, SetPathStopsAtTheFirstLevelThatCannotBeMade)
{
    ffs_dir cursor{};
    EXPECT_EQ(FFS_SetPath("/docs/a.txt/deeper/f", cursor), FFS_E_EXISTS);
    EXPECT_EQ(tree().count("/docs/a.txt/deeper"), 0u);

    EXPECT_EQ(FFS_SetPath("/bad:name/f", cursor), FFS_E_BADNAME);

    EXPECT_EQ(FFS_SetPath("/1/2/3/4/5/6/7/f", cursor), FFS_E_PATHTOODEEP);
    const auto made = tree();
    EXPECT_EQ(made.count("/1/2/3/4/5/6"), 1u);
    EXPECT_EQ(made.count("/1/2/3/4/5/6/7"), 0u);
}

TEST_F(FfsHelpers, FileExistsWhenItsFolderHoldsTheName)
{
    EXPECT_EQ(checkFileExist("/docs/a.txt"), 1);
    EXPECT_EQ(checkFileExist("/to-a"), 1);
    EXPECT_EQ(checkFileExist("/docs/sub"), 1) << "an entry of any kind";
    EXPECT_EQ(checkFileExist("/docs/b.txt"), 0);
    EXPECT_EQ(checkFileExist("/docs/A.TXT"), 0) << "names compare exactly";
    EXPECT_EQ(checkFileExist("/.journal"), 1);
    EXPECT_EQ(checkFileExist(""), FFS_E_BADNAME);
}

TEST_F(FfsHelpers, FileExistMakesTheFoldersFirstAndGivesTheirError)
{
    EXPECT_EQ(checkFileExist("/missing/a.txt"), 0);
    EXPECT_EQ(tree().at("/missing").type, ffs_image::kDir);
    EXPECT_EQ(checkFileExist("/docs/a.txt/x"), FFS_E_EXISTS) << "a file where a folder must be";
    EXPECT_EQ(checkFileExist("/bad:name/f"), FFS_E_BADNAME);
    EXPECT_EQ(checkFileExist("/1/2/3/4/5/6/7/f"), FFS_E_PATHTOODEEP);
}

TEST_F(FfsHelpers, NonAsciiFolderAndFileReachTheSamePlace)
{
    const std::string path = ffs_target_path(utf16_to_codepage(u"/\u00e9t\u00e9/\u00fc.txt"));
    ffs_dir cursor{};
    ASSERT_EQ(FFS_SetPath(path, cursor), 0);
    EXPECT_EQ(checkFileExist(path), 0);
    ASSERT_EQ(write(path, "text"), 0);
    EXPECT_EQ(checkFileExist(path), 1);

    const auto made = tree();
    ASSERT_EQ(made.count("/\xC3\xA9t\xC3\xA9/\xC3\xBC.txt"), 1u) << "stored as its UTF-8 bytes";
    EXPECT_EQ(made.at("/\xC3\xA9t\xC3\xA9/\xC3\xBC.txt").content, (std::vector<std::uint8_t>{'t', 'e', 'x', 't'}));

    ffs_dir folder{};
    ASSERT_EQ(ffs_opendir("/\xC3\xA9t\xC3\xA9", &folder), 1);
    char name[64] = {};
    ASSERT_GT(ffs_readdir(&folder, name, sizeof name), 0);
    EXPECT_EQ(from_utf8(name), utf16_to_codepage(u"\u00fc.txt"));
}

}  // namespace
