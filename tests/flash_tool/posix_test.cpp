// Behaviour that only POSIX systems let a test provoke: file size limits, deleted folders,
// permission bits, symbolic links, locks held by another process.
#include "ErrorNames.h"
#include "ImageErrors.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "Miscunit.h"
#include "SrecWriter.h"
#include "TestSupport.h"
#include "WorkingCopy.h"
#include "WorkingCopyMapping.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace brovald;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace fs = std::filesystem;

namespace {

// Files may grow to limit bytes while the object lives; beyond it writes fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }

private:
    rlimit saved_{};
    void (*previous_handler_)(int) = nullptr;
};

bool tool_available(const char* name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool exited_with_minus_one(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == 255;
}

}  // namespace

class Posix : public ImageLayerTest {
protected:
    ScratchFolder folder;
};

TEST_F(Posix, AFailedWriteBackLeavesTheImageFileByteIdentical)
{
    const std::string original = srec_line(3, 0x01400000, {1, 2, 3, 4}) + std::string(100000, '\n');
    write_file("image.s3", original);
    image_file_settings.names[0] = "image.s3";
    std::vector<std::uint8_t> image = random_image(5);
    int result = 0;
    {
        const FileSizeLimit limit(1 << 20);
        result = file_write_image(image.data(), image_size, whole_image);
    }
    EXPECT_EQ(result, image_file_write_error);
    EXPECT_STREQ(image_error_name(result), "File write error");
    EXPECT_EQ(read_file("image.s3"), original);
    EXPECT_EQ(folder.names_starting("image.s3"), std::vector<std::string>{"image.s3"}) << "temporary removed";
}

TEST_F(Posix, TheRewrittenImageKeepsItsPermissions)
{
    write_file("image.s3", "old\n");
    ::chmod("image.s3", 0640);
    image_file_settings.names[0] = "image.s3";
    std::vector<std::uint8_t> image(image_size, erased_byte);
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    struct stat status {};
    ASSERT_EQ(::stat("image.s3", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(Posix, AnImageReachedThroughASymbolicLinkIsRewrittenWhereItLies)
{
    fs::create_directory("store");
    write_file("store/image.s3", "old\n");
    fs::create_symlink("store/image.s3", "image.s3");
    image_file_settings.names[0] = "image.s3";
    std::vector<std::uint8_t> image(image_size, erased_byte);
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    EXPECT_TRUE(fs::is_symlink("image.s3"));
    EXPECT_EQ(fs::file_size("store/image.s3"), 131072u * 79 + 11 + 15);
}

TEST_F(Posix, OutputConvertsToTheSameBytesWithToolsWrittenElsewhere)
{
    if (!tool_available("objcopy") || !tool_available("srec_info")) {
        GTEST_SKIP() << "objcopy or srec_info missing (scripts/setup.sh installs them)";
    }
    std::vector<std::uint8_t> image = random_image(9);
    image_file_settings.names[0] = "image.s3";
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    // The working copy is now in file order, which is what the file's records hold.
    ASSERT_EQ(std::system("objcopy -I srec -O binary image.s3 image.bin"), 0);
    EXPECT_EQ(read_file("image.bin"), std::string(image.begin(), image.end()));
    EXPECT_EQ(std::system("srec_info image.s3 >/dev/null"), 0);
}

TEST_F(Posix, AnUnreadableImageEndsTheRunWithoutLeavingTheWorkingCopy)
{
    EXPECT_EXIT(
        {
            open_log("run.log");
            create_working_copy();
            image_file_settings.names[0] = "missing.s3";
            file_read_image(working_copy_base(), image_size);
        },
        exited_with_minus_one, "");
    EXPECT_TRUE(folder.names_starting("flashTmp_").empty());
    EXPECT_EQ(read_file("run.log"),
              "Info:Create Mapping file OK!!\n"
              "Info: file_read_image enter \n"
              "Info: begin read flash file missing.s3\n"
              "Error: hexfile_read read Flash file error!! missing.s3\n"
              "Error: hexfile_read read Flash file error!! missing.s3\n"
              "Error: File 'missing.s3' not found\n");
}

TEST_F(Posix, AFolderThatTakesNoFilesGivesAWorkingCopyWithoutOne)
{
    fs::create_directory("work");
    ASSERT_TRUE(open_log("run.log"));
    fs::current_path("work");
    // Even a privileged process cannot create files in a folder that has been removed.
    fs::remove(folder.path() / "work");
    CaptureStdout();
    create_working_copy();
    EXPECT_EQ(GetCapturedStdout(), "Info:Create Mapping file OK!!\n");
    ASSERT_NE(working_copy_base(), nullptr);
    working_copy_base()[image_size - 1] = 0;
    remove_working_copy();
    fs::current_path(folder.path());
    EXPECT_EQ(read_file("run.log"), "Create tempFile error !Info:Create Mapping file OK!!\n");
}

TEST_F(Posix, ANameHeldByAnotherRunIsNotTaken)
{
    const int held = ::open("held.tmp", O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const MappingResult result = map_working_copy("./held.tmp", working_copy_mapping_size, image_size);
    EXPECT_EQ(result.state, MappingState::name_in_use);
    EXPECT_FALSE(result.file_created);
    unmap_working_copy("./held.tmp");
    EXPECT_TRUE(fs::exists("held.tmp")) << "the other run's file stays";
    ::close(held);
}
