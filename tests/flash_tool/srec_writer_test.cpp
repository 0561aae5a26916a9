#include "ImageErrors.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "SrecWriter.h"
#include "TestSupport.h"

#include <sstream>
#include <string>
#include <vector>

using namespace brovald;

namespace {

std::vector<std::string> lines_of(std::string text)
{
    std::erase(text, '\r');
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

class SrecWriter : public ImageLayerTest {
protected:
    void SetUp() override
    {
        ImageLayerTest::SetUp();
        image_file_settings.names[0] = "out.s3";
    }

    std::string output() const
    {
        std::string text = read_file("out.s3");
        std::erase(text, '\r');
        return text;
    }

    ScratchFolder folder;
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(image_size, erased_byte);
};

TEST_F(SrecWriter, WholeErasedImageIsAHeader131072RecordsAndATermination)
{
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    const std::vector<std::string> lines = lines_of(read_file("out.s3"));
    ASSERT_EQ(lines.size(), 131074u);
    EXPECT_EQ(lines.front(), "S0030000FC");
    EXPECT_EQ(lines[1], "S32501400000" + std::string(64, 'F') + "B9");
    EXPECT_EQ(lines[2].substr(0, 12), "S32501400020");
    EXPECT_EQ(lines[131072].substr(0, 12), "S325017FFFE0");
    EXPECT_EQ(lines.back(), "S70500000000FA");
}

TEST_F(SrecWriter, ShortRangeAtTheImageEnd)
{
    // Memory order: every 16-bit unit swapped with respect to the file.
    image[0x3FFFFC] = 0x34;
    image[0x3FFFFD] = 0x12;
    image[0x3FFFFE] = 0x78;
    image[0x3FFFFF] = 0x56;
    const WriteRange ranges[] = {{0x3FFFFC, 4}, {0, 0}};
    ASSERT_EQ(file_write_image(image.data(), image_size, ranges), 4);
    EXPECT_EQ(output(), "S0030000FC\nS309017FFFFC1234567867\nS70500000000FA\n");
}

TEST_F(SrecWriter, OutputIsTheByteForByteFormOfPrintfRecords)
{
    image = random_image(7);
    std::vector<std::uint8_t> file_order = image;
    swap_bytes(file_order.data(), file_order.size(), 2);
    const WriteRange ranges[] = {{0x1000, 0x1000 + 19}, {0x200000, 45}, {0, 0}};
    ASSERT_EQ(file_write_image(image.data(), image_size, ranges), 0x1000 + 19 + 45);

    std::string expected = "S0030000FC\n";
    for (const WriteRange& range : ranges) {
        for (std::uint32_t done = 0; done < range.length; done += 32) {
            const auto first = file_order.begin() + range.start + done;
            const std::uint32_t count = std::min<std::uint32_t>(32, range.length - done);
            expected += srec_line(3, handset_base_address + range.start + done, {first, first + count});
        }
    }
    EXPECT_EQ(output(), expected + "S70500000000FA\n");
}

TEST_F(SrecWriter, ReadingTheOutputBackGivesTheSameWorkingCopy)
{
    image = random_image(11);
    const std::vector<std::uint8_t> working_copy = image;
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));

    std::vector<std::uint8_t> again(image_size, 0);
    image_file_settings.names[0] = "out.s3";
    EXPECT_EQ(file_read_image(again.data(), image_size), image_size);
    EXPECT_EQ(again, working_copy);
}

TEST_F(SrecWriter, LowerCaseInputIsWrittenBackAsUpperCase)
{
    write_file("out.s3", "s0030000fc\ns30901400000abcdef12c1\ns70500000000fa\n");
    file_read_image(image.data(), image_size);
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    const std::vector<std::string> lines = lines_of(read_file("out.s3"));
    ASSERT_EQ(lines.size(), 131074u);
    EXPECT_EQ(lines[1], "S32501400000ABCDEF12" + std::string(56, 'F') + "3C");
}

TEST_F(SrecWriter, RecordFormsOfTheNarrowerWidths)
{
    const std::uint8_t bytes[] = {0xA5, 0x5A};
    ASSERT_EQ(srec_open("out.s3", 'm', image.data(), image_size), 0);
    srec_write_line(bytes, 2, 0x20, 16);
    srec_write_line(bytes, 2, 0x20, 24);
    ASSERT_EQ(srec_close('m', 24), 0);
    // The address keeps all its digits, and the checksum covers all four of its bytes.
    EXPECT_EQ(output(), "S0030000FC\nS1051400020A55A9A\nS2061400020A55A99\nS804000000FB\n");
}

TEST_F(SrecWriter, NoOutputNameWritesNothing)
{
    image_file_settings.names[0].clear();
    EXPECT_EQ(file_write_image(image.data(), image_size, whole_image), 0);
    EXPECT_TRUE(folder.names_starting("").empty());
}

TEST_F(SrecWriter, AnOutputThatCannotBeCreatedLeavesTheImageAlone)
{
    image = random_image(3);
    const std::vector<std::uint8_t> before = image;
    image_file_settings.names[0] = "no such folder/out.s3";
    EXPECT_EQ(file_write_image(image.data(), image_size, whole_image), image_file_open_error);
    EXPECT_EQ(image, before) << "not swapped when nothing is written";
}

TEST_F(SrecWriter, OnlyARegularFileIsReplaced)
{
    std::filesystem::create_directory("out.s3");
    EXPECT_EQ(file_write_image(image.data(), image_size, whole_image), image_file_open_error);
    EXPECT_TRUE(std::filesystem::is_directory("out.s3"));
    EXPECT_EQ(folder.names_starting("out.s3"), std::vector<std::string>{"out.s3"});
}

TEST_F(SrecWriter, RewritingReplacesTheFileAndLeavesNoTemporaryBeside)
{
    write_file("out.s3", "old contents\n");
    ASSERT_EQ(file_write_image(image.data(), image_size, whole_image), static_cast<int>(image_size));
    EXPECT_EQ(lines_of(read_file("out.s3")).size(), 131074u);
    EXPECT_EQ(folder.names_starting("out.s3"), std::vector<std::string>{"out.s3"});
}

TEST_F(SrecWriter, RangesAreCutAtTheImageEnd)
{
    const WriteRange ranges[] = {{0x3FFFE0, 0x100}, {0, 0}};
    EXPECT_EQ(file_write_image(image.data(), image_size, ranges), 0x20);
    EXPECT_EQ(lines_of(read_file("out.s3")).size(), 3u);
}
