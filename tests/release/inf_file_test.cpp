// The INF reader on the forms setup accepts and refuses, so that the checks of the shipped INF
// read it as Windows does.
#include "inf_file.h"

#include <gtest/gtest.h>

using release_check::InfFile;

namespace {

InfFile parsed(std::string_view text)
{
    InfFile inf;
    std::string error;
    EXPECT_TRUE(inf.parse(text, error)) << error;
    return inf;
}

TEST(InfFile, KeysValuesQuotesAndComments)
{
    const InfFile inf = parsed(
        "; leading comment\r\n"
        "[Version]\r\n"
        "Signature = \"$Windows NT$\" ; trailing comment\r\n"
        "DriverVer=01/02/2026,1.2.3.4\r\n"
        "Quoted = \"a;b, c\", \"say \"\"hi\"\"\"\r\n"
        "[Reg]\r\n"
        "HKR,,PortName,0x00000002,\"COM9\"\r\n"
        "Quenta.sys\r\n");
    EXPECT_EQ(inf.value("Version", "Signature"), "$Windows NT$");
    const auto* driver_ver = inf.line("version", "driverver");  // names are not case-sensitive
    ASSERT_NE(driver_ver, nullptr);
    EXPECT_EQ(driver_ver->values, (std::vector<std::string>{"01/02/2026", "1.2.3.4"}));
    EXPECT_EQ(inf.line("Version", "Quoted")->values, (std::vector<std::string>{"a;b, c", "say \"hi\""}));

    const auto* reg = inf.section("REG");
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg->lines.size(), 2u);
    EXPECT_EQ(reg->lines[0].key, "");
    EXPECT_EQ(reg->lines[0].values, (std::vector<std::string>{"HKR", "", "PortName", "0x00000002", "COM9"}));
    EXPECT_EQ(reg->lines[1].values, (std::vector<std::string>{"Quenta.sys"}));
    EXPECT_EQ(reg->lines[1].line_number, 8);
}

TEST(InfFile, ContinuationsSectionsOfOneNameAndLfLineEnds)
{
    const InfFile inf = parsed(
        "[A]\n"
        "List = one, \\\n"
        "       two ; comment\n"
        "[B]\n"
        "x = 1\n"
        "[a]\n"
        "y = 2");
    EXPECT_EQ(inf.line("A", "List")->values, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(inf.sections().size(), 2u);
    EXPECT_EQ(inf.value("A", "y"), "2");
}

TEST(InfFile, StringSubstitution)
{
    const InfFile inf = parsed(
        "[Strings]\n"
        "Provider = \"Handset kit\"\n");
    EXPECT_EQ(inf.expand("%Provider% drivers in %12%\\x"), "Handset kit drivers in %12%\\x");
    EXPECT_EQ(inf.expand("100% sure"), "100% sure");
}

TEST(InfFile, RefusesWhatSetupWouldNotRead)
{
    InfFile inf;
    std::string error;
    EXPECT_FALSE(inf.parse("Key = value\n[Version]\n", error));
    EXPECT_EQ(error, "line 1: an entry before the first section");
    EXPECT_FALSE(inf.parse("[Version]\nSignature = \"$Windows NT$\n", error));
    EXPECT_EQ(error, "line 2: a quoted string is not closed");
    EXPECT_FALSE(inf.parse("[Version\n", error));
    EXPECT_EQ(error, "line 1: a section name without ']'");
}

}  // namespace
