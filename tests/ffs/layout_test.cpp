#include <gtest/gtest.h>

#include <vector>

#include "layout.h"

using namespace flashfs;

TEST(FfsLayout, ObjectSizesFollowTheStorageRules)
{
    EXPECT_EQ(object_size(3, 5), 16u);   // "abc" NUL 5 bytes 0 = 10 bytes
    EXPECT_EQ(object_size(3, 0), 16u);   // no terminator without data
    EXPECT_EQ(object_size(14, 1), 32u);  // 14 + 1 + 1 + 1 = 17
    EXPECT_EQ(segment_size(16), 32u);
    EXPECT_EQ(segment_size(15), 16u);
    EXPECT_EQ(object_size(8, 4096), 16u + 4096u);  // the journal
}

TEST(FfsLayout, DataLengthScansBackToTheLastZero)
{
    // "abc" NUL, data "xy\0\0", terminator, padding.
    std::uint8_t object[16];
    std::fill(std::begin(object), std::end(object), 0xFF);
    const std::uint8_t stored[] = {'a', 'b', 'c', 0, 'x', 'y', 0, 0, 0};
    std::copy(std::begin(stored), std::end(stored), object);
    EXPECT_EQ(stored_data_length(object, 16, false), 4);  // trailing zeros of the data stay
    EXPECT_EQ(stored_name_length(object, 16), 3);

    std::uint8_t empty[16];
    std::fill(std::begin(empty), std::end(empty), 0xFF);
    empty[0] = 'a';
    empty[1] = 0;
    EXPECT_EQ(stored_data_length(empty, 16, false), 0);

    std::uint8_t segment[32];
    std::fill(std::begin(segment), std::end(segment), 0xFF);
    for (int i = 0; i < 16; ++i)
        segment[i] = static_cast<std::uint8_t>(i + 1);
    segment[16] = 0;
    EXPECT_EQ(stored_data_length(segment, 32, true), 16);

    std::uint8_t unterminated[16];
    std::fill(std::begin(unterminated), std::end(unterminated), 'n');
    EXPECT_EQ(stored_name_length(unterminated, 16), -1);
    EXPECT_EQ(stored_data_length(unterminated, 16, false), 0);
}

// The scans step over whole words: every place of the last 0 (and of the name's end) in objects
// of every size up to a few words, against the byte-by-byte rule.
TEST(FfsLayout, DataLengthScanFindsTheLastZeroAtEveryPlace)
{
    for (std::uint32_t size = 0; size <= 40; ++size) {
        for (std::uint32_t zero = 0; zero <= size; ++zero) {  // zero == size: no 0 byte at all
            std::vector<std::uint8_t> object(size + 8, 0);    // zeros beyond the size are not read
            for (std::uint32_t i = 0; i < size; ++i)
                object[i] = static_cast<std::uint8_t>(1 + (i * 127 + size) % 255);  // 0x01, 0x80, 0xFF too
            if (zero < size)
                object[zero] = 0;
            const std::int32_t expected_segment = zero < size ? static_cast<std::int32_t>(zero) : 0;
            EXPECT_EQ(stored_data_length(object.data(), size, true), expected_segment) << size << " " << zero;
            EXPECT_EQ(stored_name_length(object.data(), size), zero < size ? static_cast<int>(zero) : -1);
            if (zero < size && zero >= 2) {
                object[0] = 0;  // a one-byte name; the data runs up to the last 0
                EXPECT_EQ(stored_data_length(object.data(), size, false), static_cast<std::int32_t>(zero) - 1)
                    << size << " " << zero;
            }
        }
    }
}

TEST(FfsLayout, JournalRecordsRoundTripLittleEndian)
{
    JournalRecord r;
    r.state = JS_COMPLETE;
    r.flags = 0xF1;
    r.new_inode = 0x1234;
    r.link = -7;
    r.old_inode = 3;
    r.location = 0x00012345;
    r.size = 0x40;
    r.remove = 9;
    std::uint8_t bytes[16];
    r.encode(bytes);
    const std::uint8_t expected[16] = {0xF9, 0xF1, 0x34, 0x12, 0xF9, 0xFF, 0x03, 0x00,
                                       0x45, 0x23, 0x01, 0x00, 0x40, 0x00, 0x09, 0x00};
    EXPECT_TRUE(std::equal(std::begin(bytes), std::end(bytes), std::begin(expected)));
    JournalRecord back = JournalRecord::decode(bytes);
    EXPECT_EQ(back.link, -7);
    EXPECT_EQ(back.location, 0x00012345u);
    EXPECT_EQ(back.remove, 9);
}

TEST(FfsLayout, AgesCompareOnTheCircle)
{
    EXPECT_EQ(age_distance(5, 3), 2);
    EXPECT_EQ(age_distance(3, 5), 2);
    EXPECT_EQ(age_distance(0x0002, 0xFFF0), 0x12);  // across the wrap
    EXPECT_EQ(age_distance(0x8000, 0), 0x8000);
}

TEST(FfsLayout, StateWordsAreNamedAndEverythingElseIsInvalid)
{
    EXPECT_STREQ(block_state_name(0xFFFF), "ERASED");
    EXPECT_STREQ(block_state_name(0xFFBF), "FREE");
    EXPECT_STREQ(block_state_name(0xFF2B), "INODESLOST");
    EXPECT_STREQ(block_state_name(0xFFBE), "INVALID");
    EXPECT_STREQ(block_state_name(0x0000), "INVALID");
    // Every transition only clears bits.
    EXPECT_EQ(BS_FREE & BS_DATA, BS_DATA);
    EXPECT_EQ(BS_DATA & BS_CLEANING, BS_CLEANING);
    EXPECT_EQ(BS_FREE & BS_COPYING, BS_COPYING);
    EXPECT_EQ(BS_COPYING & BS_INODES, BS_INODES);
    EXPECT_EQ(BS_INODES & BS_INODESLOST, BS_INODESLOST);
}
