#include "ImageErrors.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "Miscunit.h"
#include "TestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace brovald;

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr const char* header = "S0030000FC\n";
constexpr const char* termination = "S70500000000FA\n";

bool all_erased(const std::vector<std::uint8_t>& image)
{
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == erased_byte; });
}

}  // namespace

class ImageReader : public ImageLayerTest {
protected:
    // Reads text as the one image file through file_read_image.
    std::uint32_t read_image(const std::string& text)
    {
        write_file("image.s3", text);
        image_file_settings.names[0] = "image.s3";
        return file_read_image(image.data(), image_size);
    }

    ScratchFolder folder;
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(image_size, 0);
};

TEST_F(ImageReader, HeaderAndTerminationOnlyLeaveTheImageErased)
{
    EXPECT_EQ(read_image(std::string(header) + termination), 0u);
    EXPECT_TRUE(all_erased(image));
}

TEST_F(ImageReader, RecordsLandAtTheirOffsetsSwappedInPairs)
{
    const std::string text = std::string(header) + srec_line(3, 0x01400000, {0x11, 0x22, 0x33, 0x44}) +
                             srec_line(3, 0x01400010, {0xAB, 0xCD}) + termination;
    EXPECT_EQ(read_image(text), 6u);
    EXPECT_EQ(image[0], 0x22);
    EXPECT_EQ(image[1], 0x11);
    EXPECT_EQ(image[2], 0x44);
    EXPECT_EQ(image[3], 0x33);
    EXPECT_EQ(image[4], 0xFF);
    EXPECT_EQ(image[0x10], 0xCD);
    EXPECT_EQ(image[0x11], 0xAB);
}

TEST_F(ImageReader, WindowsLineEndsAndAMissingLastLineEndAreRead)
{
    EXPECT_EQ(read_image("S0030000FC\r\nS30901400000112233441A\r\nS30501400004B5"), 4u);
    EXPECT_EQ(image[0], 0x22);
}

TEST_F(ImageReader, LinesLongerThanNinetyEightCharactersAreReadWhole)
{
    std::vector<std::uint8_t> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    CaptureStderr();
    EXPECT_EQ(read_image(srec_line(3, 0x01400100, data)), 200u);
    EXPECT_EQ(GetCapturedStderr(), "") << "no piece of the line is taken as a line of its own";
    swap_bytes(image.data(), image.size(), 2);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 0x100));
}

TEST_F(ImageReader, ARecordIsReadWholeWhereverABlockEndCutsIt)
{
    // The file is read in blocks of 64 KiB. A header line of the right length moves the record
    // across the first block end one character at a time, with either line end, so that the end
    // falls in each of its fields, between "\r" and "\n", and just after the line.
    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xC3 + i);
    }
    const std::string record = srec_line(3, 0x01400102, data);
    const std::uint32_t block = 64 * 1024;
    for (const bool crlf : {false, true}) {
        const std::string line = crlf ? record.substr(0, record.size() - 1) + "\r\n" : record;
        for (std::size_t before_end = 0; before_end <= line.size(); ++before_end) {
            const std::string header = "S0" + std::string(block - before_end - 3, 'h') + "\n";
            write_file("cut.s3", header + line + srec_line(3, 0x01400200, {0x5A}));
            std::fill(image.begin(), image.end(), erased_byte);
            CaptureStderr();
            EXPECT_EQ(hexfile_read("cut.s3", image.data(), image_size), 33);
            EXPECT_EQ(GetCapturedStderr(), "") << before_end;
            EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 0x102)) << before_end;
            EXPECT_EQ(image[0x200], 0x5A) << before_end;
        }
    }
}

TEST_F(ImageReader, ALineLongerThanABlockKeepsItsStart)
{
    // Only the first 64 KiB of a line are kept, which holds any record; the next line is read
    // as usual, and so is a last line without a line end.
    const std::string record = srec_line(3, 0x01400010, {1, 2, 3, 4});
    const std::string last = srec_line(3, 0x01400020, {5, 6});
    const std::string text = record.substr(0, record.size() - 1) + std::string(200000, ' ') + "\n" +
                             srec_line(3, 0x01400030, {7}) + last.substr(0, last.size() - 1) + std::string(150000, ' ');
    write_file("long.s3", text);
    CaptureStderr();
    EXPECT_EQ(hexfile_read("long.s3", image.data(), image_size), 7);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(image[0x10], 1);
    EXPECT_EQ(image[0x13], 4);
    EXPECT_EQ(image[0x20], 5);
    EXPECT_EQ(image[0x21], 6);
    EXPECT_EQ(image[0x30], 7);
}

TEST_F(ImageReader, IllegalLinesAreSkippedAndReadingGoesOn)
{
    CaptureStderr();
    EXPECT_EQ(read_image("S5030001FB\n" + srec_line(3, 0x01400002, {1, 2})), 2u);
    EXPECT_EQ(GetCapturedStderr(), "WARNING: Illegal hex line: S5030001FB\n\n");
    EXPECT_EQ(image[2], 2);
}

TEST_F(ImageReader, ARecordWithABadDataDigitLeavesTheImageAsItWas)
{
    write_file("bad.s3", srec_line(3, 0x01400000, {1, 2, 3, 4}) + "S30901400000AABBCCGG1A\n" +
                             "S30901400000aabbccg01A\r\n" + srec_line(3, 0x01400004, {5}));
    CaptureStderr();
    EXPECT_EQ(hexfile_read("bad.s3", image.data(), image_size), 5);
    EXPECT_EQ(GetCapturedStderr(),
              "WARNING: Illegal hex line: S30901400000AABBCCGG1A\n\n"
              "WARNING: Illegal hex line: S30901400000aabbccg01A\n\n");
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(ImageReader, RecordsEndingAtTheImageEndOrOneBytePastIt)
{
    // The first is placed whole; of the second, one byte further, only what lies inside.
    write_file("end.s3", srec_line(3, 0x017FFFF8, {9, 8, 7, 6}) + srec_line(3, 0x017FFFFD, {1, 2, 3, 4}));
    EXPECT_EQ(hexfile_read("end.s3", image.data(), image_size), 8);
    EXPECT_EQ(std::vector<std::uint8_t>(image.end() - 8, image.end()),
              (std::vector<std::uint8_t>{9, 8, 7, 6, 0, 1, 2, 3}));
}

TEST_F(ImageReader, ARecordRunningPastTheImageEndIsCutThereAndCountedWhole)
{
    EXPECT_EQ(read_image(srec_line(3, 0x017FFFFE, {1, 2, 3, 4})), 4u);
    EXPECT_EQ(image[image_size - 2], 2);
    EXPECT_EQ(image[image_size - 1], 1);
}

TEST_F(ImageReader, AddressesOutsideTheImageStopTheFile)
{
    const std::vector<std::uint8_t> image_copy = image;
    write_file("s1.s3", srec_line(1, 0x0000, {1}));
    CaptureStderr();
    EXPECT_EQ(hexfile_read("s1.s3", image.data(), image_size), image_address_out_of_range);
    EXPECT_EQ(GetCapturedStderr(), "Address too big: 0xFEC00000\n") << "S1 addresses wrap below the base";

    write_file("end.s3", srec_line(3, 0x01800000, {1}));
    CaptureStderr();
    EXPECT_EQ(hexfile_read("end.s3", image.data(), image_size), image_address_out_of_range);
    EXPECT_EQ(GetCapturedStderr(), "Address too big: 0x00400000\n");

    write_file("bad-digit.s3", "S309014G0000112233441A\n");
    CaptureStderr();
    EXPECT_EQ(hexfile_read("bad-digit.s3", image.data(), image_size), image_address_out_of_range);
    EXPECT_EQ(GetCapturedStderr(), "Address too big: 0xFEC00014\n") << "a bad address digit cuts the address short";
    EXPECT_EQ(image, image_copy);
}

TEST_F(ImageReader, ANameThatDoesNotOpenIsTriedInTheProgramFolder)
{
    std::filesystem::create_directory("bin");
    write_file("bin/image.s3", srec_line(3, 0x01400000, {7, 8}));
    ASSERT_TRUE(open_log("run.log"));
    image_file_settings.program_path = "bin/Brovald";
    EXPECT_EQ(hexfile_read("image.s3", image.data(), image_size), 2);
    EXPECT_EQ(image[0], 7);

    image_file_settings.program_path = "elsewhere\\Brovald.exe";
    EXPECT_EQ(hexfile_read("missing.s3", image.data(), image_size), image_file_open_error);
    std::string log = read_file("run.log");
    std::erase(log, '\r');
    EXPECT_EQ(log,
              "Error: hexfile_read read Flash file error!! image.s3\n"
              "Error: hexfile_read read Flash file error!! missing.s3\n"
              "Error: hexfile_read read Flash file error!! elsewhere\\missing.s3\n");
}

TEST_F(ImageReader, AFallbackPathTooLongForItsBufferIsRefused)
{
    image_file_settings.program_path = std::string(250, 'd') + "/Brovald";
    EXPECT_EQ(hexfile_read("missing.s3", image.data(), image_size), image_buffer_too_small);
}

TEST(JoinProgramDir, FolderPartOfTheProgramPathThenTheName)
{
    char buffer[256];
    EXPECT_EQ(join_program_dir(buffer, sizeof buffer, "C:\\tools\\Brovald.exe", "a.s3"), 13);
    EXPECT_STREQ(buffer, "C:\\tools\\a.s3");
    EXPECT_EQ(join_program_dir(buffer, sizeof buffer, "Brovald", "a.s3"), 4);
    EXPECT_STREQ(buffer, "a.s3");
    EXPECT_EQ(join_program_dir(buffer, sizeof buffer, "/usr/bin/Brovald", std::string(246, 'n')), 255);
    EXPECT_EQ(join_program_dir(buffer, sizeof buffer, "/usr/bin/Brovald", std::string(247, 'n')),
              image_buffer_too_small);
}

TEST(DirPrefixLength, PositionAfterTheLastSeparator)
{
    EXPECT_EQ(dir_prefix_length("a/b\\c"), 4u);
    EXPECT_EQ(dir_prefix_length("a\\b/c"), 4u);
    EXPECT_EQ(dir_prefix_length("name"), 0u);
    EXPECT_EQ(dir_prefix_length(""), 0u);
    EXPECT_EQ(dir_prefix_length("/"), 1u);
}

TEST(SwapBytes, WholeUnitsOnlyAndTwiceIsTheIdentity)
{
    std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7};
    swap_bytes(bytes.data(), bytes.size(), 2);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{2, 1, 4, 3, 6, 5, 7})) << "the odd last byte stays";
    swap_bytes(bytes.data(), bytes.size(), 2);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    swap_bytes(bytes.data(), bytes.size(), 4);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{4, 3, 2, 1, 5, 6, 7}));
    swap_bytes(bytes.data(), bytes.size(), 3);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{4, 3, 2, 1, 5, 6, 7})) << "other widths change nothing";
}
