// Behaviour of the Windows variants that only Windows (or Wine) shows: named mappings, file
// attributes.
#include "ImageErrors.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "SrecWriter.h"
#include "TestSupport.h"
#include "WorkingCopyMapping.h"

#include <windows.h>

using namespace brovald;

class Win32 : public ImageLayerTest {
protected:
    ScratchFolder folder;
};

TEST_F(Win32, AMappingNameHeldByAnotherRunIsNotTaken)
{
    HANDLE other = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, "./held.tmp");
    ASSERT_NE(other, nullptr);
    const MappingResult result = map_working_copy("./held.tmp", working_copy_mapping_size, image_size);
    EXPECT_EQ(result.state, MappingState::name_in_use);
    unmap_working_copy("./held.tmp");
    ::CloseHandle(other);
}

TEST_F(Win32, AReadOnlyImageFileIsNotRewritten)
{
    write_file("image.s3", "old\n");
    ASSERT_TRUE(::SetFileAttributesA("image.s3", FILE_ATTRIBUTE_READONLY));
    image_file_settings.names[0] = "image.s3";
    std::vector<std::uint8_t> image(image_size, erased_byte);
    EXPECT_EQ(file_write_image(image.data(), image_size, whole_image), image_file_open_error);
    EXPECT_EQ(read_file("image.s3"), "old\n");
    ::SetFileAttributesA("image.s3", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Win32, TheRewrittenImageKeepsItsAttributesAndHasTextLineEnds)
{
    write_file("image.s3", "old\n");
    ASSERT_TRUE(::SetFileAttributesA("image.s3", FILE_ATTRIBUTE_HIDDEN));
    image_file_settings.names[0] = "image.s3";
    std::vector<std::uint8_t> image(image_size, erased_byte);
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    EXPECT_NE(::GetFileAttributesA("image.s3") & FILE_ATTRIBUTE_HIDDEN, 0u);
    const std::string text = read_file("image.s3");
    EXPECT_EQ(text.substr(0, 12), "S0030000FC\r\n");
    EXPECT_EQ(text.size(), 131074u + 131072u * 79 + 11 + 15);
    ::SetFileAttributesA("image.s3", FILE_ATTRIBUTE_NORMAL);
}
