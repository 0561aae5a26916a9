#include "SrecRecord.h"
#include "TestSupport.h"

#include <cctype>
#include <string>
#include <vector>

using namespace brovald;

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::vector<std::uint8_t> data_of(const SrecRecord& record)
{
    return {record.data.begin(), record.data.begin() + record.length};
}

// srec_read_line's result together with what it printed.
struct Decoded {
    int length;
    std::string warning;
};

Decoded decode(const std::string& line, SrecRecord& record)
{
    CaptureStderr();
    const int length = srec_read_line(line, record);
    return {length, GetCapturedStderr()};
}

}  // namespace

TEST(HexValue, ReadsUpToNDigitsOfEitherCase)
{
    EXPECT_EQ(hex_value("01400000", 8), 0x01400000u);
    EXPECT_EQ(hex_value("017fFFe0", 8), 0x017FFFE0u);
    EXPECT_EQ(hex_value("12345678", 4), 0x1234u);
    EXPECT_EQ(hex_value("12G4", 4), 0x12u) << "stops at the first non-digit";
    EXPECT_EQ(hex_value("AB", 8), 0xABu) << "stops at the end of the text";
    EXPECT_EQ(hex_value("", 2), 0u);
}

TEST(HexBytes, ConvertsWholePairsOnly)
{
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    EXPECT_EQ(hex_bytes(bytes, "a1B2c3", 3), 3u);
    EXPECT_EQ(bytes[0], 0xA1);
    EXPECT_EQ(bytes[1], 0xB2);
    EXPECT_EQ(bytes[2], 0xC3);
    EXPECT_EQ(hex_bytes(bytes, "FFE", 4), 1u) << "a lone digit at the end is no byte";
    EXPECT_EQ(hex_bytes(bytes, "12Z4", 2), 1u) << "a pair with a non-digit ends the conversion";
    EXPECT_EQ(bytes[3], 0) << "nothing written past what was converted";
}

TEST(SrecReadLine, DataRecordsOfEachAddressWidth)
{
    SrecRecord record;
    EXPECT_EQ(srec_read_line(srec_line(1, 0x1234, {0xAA}), record), 1);
    EXPECT_EQ(record.address, 0x1234u);
    EXPECT_EQ(srec_read_line(srec_line(2, 0x123456, {1, 2}), record), 2);
    EXPECT_EQ(record.address, 0x123456u);
    EXPECT_EQ(srec_read_line("S30901400000112233441A\n", record), 4);
    EXPECT_EQ(record.type, 3);
    EXPECT_EQ(record.address, 0x01400000u);
    EXPECT_EQ(data_of(record), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

TEST(SrecReadLine, RecordsThatPlaceNothingAreSilent)
{
    SrecRecord record;
    // Header, terminations, and a data record without data.
    for (const char* line :
         {"S0030000FC\n", "S70500000000FA\n", "S804000000FB\n", "S9030000FC\n", "S30501400000B9\n"}) {
        const Decoded decoded = decode(line, record);
        EXPECT_EQ(decoded.length, 0) << line;
        EXPECT_EQ(decoded.warning, "") << line;
    }
}

TEST(SrecReadLine, OtherTypesAreWarnedAboutWithTheWholeLine)
{
    SrecRecord record;
    Decoded decoded = decode("S5030001FB\n", record);
    EXPECT_EQ(decoded.length, 0);
    EXPECT_EQ(decoded.warning, "WARNING: Illegal hex line: S5030001FB\n\n");
    decoded = decode("\n", record);
    EXPECT_EQ(decoded.warning, "WARNING: Illegal hex line: \n\n") << "an empty line has no type";
    decoded = decode("garbage", record);
    EXPECT_EQ(decoded.warning, "WARNING: Illegal hex line: garbage\n");
}

TEST(SrecReadLine, LowerCaseDigitsReadAsTheirValues)
{
    SrecRecord record;
    ASSERT_EQ(srec_read_line("s3090140abcdaabbccdd00\n", record), 4);
    EXPECT_EQ(record.address, 0x0140ABCDu);
    EXPECT_EQ(data_of(record), (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST(SrecReadLine, ChecksumIsNotReadAndTextAfterItIsIgnored)
{
    SrecRecord record;
    EXPECT_EQ(srec_read_line("S309014000001122334400\n", record), 4);
    EXPECT_EQ(srec_read_line("S30901400000112233441A  trailing words\n", record), 4);
    const Decoded decoded = decode("S3090140000011223344zz\n", record);
    EXPECT_EQ(decoded.length, 4) << "two characters that are no digits still stand for the checksum";
    EXPECT_EQ(decoded.warning, "");
    EXPECT_EQ(data_of(record), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

TEST(SrecReadLine, AddressDigitsEndAtTheFirstNonDigit)
{
    SrecRecord record;
    const Decoded decoded = decode("S309014G0000112233441A\n", record);
    EXPECT_EQ(decoded.length, 4) << "the record is placed by the address read so far";
    EXPECT_EQ(decoded.warning, "");
    EXPECT_EQ(record.address, 0x014u);
}

TEST(SrecReadLine, ALineEndsAtANulByte)
{
    SrecRecord record;
    const std::string line("S5030001FB\0tail\n", 16);
    const Decoded decoded = decode(line, record);
    EXPECT_EQ(decoded.warning, "WARNING: Illegal hex line: S5030001FB\n");
    EXPECT_EQ(decode(std::string("S3090140000011223344\0"
                                 "1A\n",
                                 24),
                     record)
                  .length,
              0)
        << "the checksum after the NUL is not on the line";
}

TEST(SrecReadLine, RecordsUpToTheLargestCountAreReadWhole)
{
    SrecRecord record;
    std::vector<std::uint8_t> data(250);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    ASSERT_EQ(srec_read_line(srec_line(3, 0x01400100, data), record), 250);
    EXPECT_EQ(data_of(record), data);
    data.resize(252);
    ASSERT_EQ(srec_read_line(srec_line(1, 0, data), record), 252) << "S1 with count 255";
    EXPECT_EQ(data_of(record), data);
}

TEST(SrecReadLine, CountsTheLineCannotHoldAreRefused)
{
    SrecRecord record;
    // Claims 9 bytes, holds 8 (the checksum is missing).
    Decoded decoded = decode("S3090140000011223344\n", record);
    EXPECT_EQ(decoded.length, 0);
    EXPECT_EQ(decoded.warning, "WARNING: Illegal hex line: S3090140000011223344\n\n");
    // Claims 255 bytes on a short line.
    EXPECT_EQ(decode("S3FF01400000112233441A\n", record).length, 0);
    // A non-digit inside the data.
    EXPECT_EQ(decode("S30901400000112G33441A\n", record).length, 0);
    // Fewer bytes than the address and checksum take.
    decoded = decode("S30401400000\n", record);
    EXPECT_EQ(decoded.length, 0);
    EXPECT_NE(decoded.warning, "");
    EXPECT_EQ(decode("S100\n", record).length, 0);
    EXPECT_EQ(decode("S3", record).length, 0);
}

TEST(SrecReadLine, RecordsOfEveryLengthInEitherCase)
{
    SrecRecord record;
    for (int type = 1; type <= 3; ++type) {
        for (std::size_t length = 0; length <= 40; ++length) {
            std::vector<std::uint8_t> data(length);
            for (std::size_t i = 0; i < length; ++i) {
                data[i] = static_cast<std::uint8_t>(0xF1 - 13 * i);
            }
            const std::uint32_t address = type == 1 ? 0xBEEF : type == 2 ? 0xABCDEF : 0x0140ABCD;
            std::string line = srec_line(type, address, data);
            for (int lower_case = 0; lower_case < 2; ++lower_case) {
                const Decoded decoded = decode(line, record);
                EXPECT_EQ(decoded.length, static_cast<int>(length)) << line;
                EXPECT_EQ(decoded.warning, "") << line;
                EXPECT_EQ(record.address, address) << line;
                EXPECT_EQ(data_of(record), data) << line;
                for (char& c : line) {
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
            }
        }
    }
}

TEST(SrecReadLine, EachCharacterOfARecordPlaysItsPart)
{
    // "S3", count, address, data, checksum, with another character put in place of each one. The
    // first character is never examined; a type or count that is no digit refuses the line; a
    // non-digit in the address cuts the address short; one in the data refuses the line. Of the
    // checksum only a NUL matters, which ends the line there, and a line end as its last
    // character, which leaves the line one character short unless another line end follows.
    const std::string record = "S30901400000112233441A";
    for (const std::string line_end : {"\n", ""}) {
        const std::string line = record + line_end;
        for (const char other : {'\0', '\n', 'g', '/', ' '}) {
            for (std::size_t at = 0; at < line.size(); ++at) {
                std::string text = line;
                text[at] = other;
                bool placed = true;
                std::uint32_t address = 0x01400000;
                if (at == 0) {
                    placed = other != '\0';
                } else if (at < 4 || (at >= 12 && at < 20)) {
                    placed = false;
                } else if (at < 12) {
                    placed = other != '\0';
                    address = hex_value(record.substr(4, at - 4), 8);
                } else if (at == 20) {
                    placed = other != '\0';
                } else if (at == 21) {
                    placed = other != '\0' && (other != '\n' || !line_end.empty());
                }
                SrecRecord decoded_record;
                const Decoded decoded = decode(text, decoded_record);
                const std::string where = "character " + std::to_string(other) + " at " + std::to_string(at) +
                                          (line_end.empty() ? " without line end" : "");
                if (placed) {
                    EXPECT_EQ(decoded.length, 4) << where;
                    EXPECT_EQ(decoded.warning, "") << where;
                    EXPECT_EQ(decoded_record.address, address) << where;
                    EXPECT_EQ(data_of(decoded_record), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44})) << where;
                } else {
                    EXPECT_EQ(decoded.length, 0) << where;
                    EXPECT_NE(decoded.warning, "") << where;
                }
            }
        }
    }
}
