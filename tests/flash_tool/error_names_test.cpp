#include "ErrorNames.h"

#include <gtest/gtest.h>

#include <string>

using namespace brovald;

TEST(ErrorNames, CodesOfEachTable)
{
    EXPECT_STREQ(ffs_error_name(0), "FFS : ok");
    EXPECT_STREQ(ffs_error_name(-17), "FFS : invalid argument");
    EXPECT_STREQ(ffs_error_name(-43), "FFS : Data reclaim loop");
    EXPECT_STREQ(image_error_name(0), "Ok");
    EXPECT_STREQ(image_error_name(-54), "File write error");
    EXPECT_STREQ(image_error_name(-86), "Internal (static) buffer too small");
    EXPECT_STREQ(image_error_name(-99), "Internal program state error");
}

TEST(ErrorNames, CodesOutsideTheTablesAreUnknown)
{
    for (int code : {-28, 5, 1, -29, -33, -44, -1000}) {
        EXPECT_STREQ(ffs_error_name(code), "unknown error code!") << code;
    }
    for (int code : {-9, -51, 1, -1, -2, -60, -100}) {
        EXPECT_STREQ(image_error_name(code), "unknown error code!") << code;
    }
}

TEST(ErrorNames, EveryCodeOfBothTablesHasItsOwnText)
{
    // 35 flash file system codes between 0 and -43, 51 image codes between 0 and -99.
    int ffs_known = 0;
    int image_known = 0;
    for (int code = 0; code >= -100; --code) {
        ffs_known += std::string(ffs_error_name(code)) != "unknown error code!";
        image_known += std::string(image_error_name(code)) != "unknown error code!";
    }
    EXPECT_EQ(ffs_known, 35);
    EXPECT_EQ(image_known, 51);
}
