#include "ImageGeometry.h"
#include "Miscunit.h"
#include "TestSupport.h"
#include "WorkingCopy.h"
#include "WorkingCopyMapping.h"

#include <cstring>
#include <filesystem>
#include <string>

using namespace brovald;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace fs = std::filesystem;

class WorkingCopy : public ImageLayerTest {
protected:
    ScratchFolder folder;
};

TEST_F(WorkingCopy, MadeAsATemporaryFileInTheCurrentFolderAndRemovedWithIt)
{
    ASSERT_TRUE(open_log("run.log"));
    CaptureStdout();
    create_working_copy();
    EXPECT_EQ(GetCapturedStdout(), "Info:Create Mapping file OK!!\n");
    ASSERT_NE(working_copy_base(), nullptr);
    const std::string& name = working_copy_name();
    ASSERT_TRUE(name.starts_with("./flashTmp_") && name.ends_with(".tmp")) << name;
    const std::string number = name.substr(11, name.size() - 15);
    EXPECT_TRUE(!number.empty() && number.size() <= 3 && number.find_first_not_of("0123456789") == std::string::npos)
        << name;
    EXPECT_EQ(fs::file_size(working_copy_name()), working_copy_mapping_size);

    // The whole image is writable memory.
    std::memset(working_copy_base(), 0xA5, image_size);
    EXPECT_EQ(working_copy_base()[image_size - 1], 0xA5);

    remove_working_copy();
    EXPECT_EQ(working_copy_base(), nullptr);
    EXPECT_TRUE(folder.names_starting("flashTmp_").empty());
    remove_working_copy();
}

TEST_F(WorkingCopy, RemovingBeforeAnythingWasMadeDoesNothing)
{
    write_file("flashTmp_1.tmp", "not ours");
    remove_working_copy();
    EXPECT_EQ(working_copy_base(), nullptr);
    EXPECT_EQ(read_file("flashTmp_1.tmp"), "not ours");
}

TEST_F(WorkingCopy, WithoutATemporaryFileTheMappingIsStillMade)
{
    // A folder occupying the name stops the file from being created, as a read-only folder does.
    fs::create_directory("occupied.tmp");
    const MappingResult result = map_working_copy("./occupied.tmp", working_copy_mapping_size, image_size);
    EXPECT_FALSE(result.file_created);
    ASSERT_EQ(result.state, MappingState::mapped);
    std::memset(result.view, 0xFF, image_size);
    unmap_working_copy("./occupied.tmp");
    EXPECT_TRUE(fs::is_directory("occupied.tmp"));
}

TEST_F(WorkingCopy, AStaleFileOfTheSameNameIsReplaced)
{
    write_file("stale.tmp", "left by a run that was killed");
    const MappingResult result = map_working_copy("./stale.tmp", working_copy_mapping_size, image_size);
    EXPECT_TRUE(result.file_created);
    ASSERT_EQ(result.state, MappingState::mapped);
    EXPECT_EQ(result.view[0], 0) << "a fresh file, not the stale contents";
    unmap_working_copy("./stale.tmp");
    EXPECT_FALSE(fs::exists("stale.tmp"));
}
