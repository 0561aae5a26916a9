// How a run over the USB path ends: its own status when the kernel's checks pass, a status of its
// own with what failed on standard error when one does not, and the report.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kernel32_controls.h"
#include "run_end.h"

namespace usbpath {
namespace {

std::string Written(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += char(c);
    }
    return text;
}

TEST(RunEnd, AFailedCheckIsReportedAndEndsTheRunWithAStatusOfItsOwn)
{
    std::FILE* errors = std::tmpfile();
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(EndOfRunStatus(-2, {}, errors), -2);
    EXPECT_EQ(Written(errors), "");
    EXPECT_EQ(EndOfRunStatus(0, {"a request was never completed"}, errors), kExitEmulationCheckFailed);
    EXPECT_NE(Written(errors).find("checks failed at the end of the run:\n  a request was never completed\n"),
              std::string::npos);
    std::fclose(errors);
    for (int zarnik : {0, 1, -2, -3, -6, -7, -10, -11, -12, -13, -14}) {
        EXPECT_NE(zarnik & 0xFF, kExitEmulationCheckFailed);
    }
}

TEST(RunEnd, TheReportCountsRequestsAndTransfersAndGivesTheVerdict)
{
    k32::ClearRequestCounts();
    k32::CountRequest("IRP_MJ_WRITE");
    k32::CountRequest("IRP_MJ_WRITE");
    std::FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    HandsetCable::Counts bulk;
    bulk.outTransfers = 3;
    bulk.outBytes = 5000;
    bulk.largestOut = 2048;
    WriteRunReport(report, bulk, {});
    const std::string text = Written(report);
    EXPECT_NE(text.find("IRP_MJ_WRITE"), std::string::npos);
    EXPECT_NE(text.find(" 2\n"), std::string::npos);
    EXPECT_NE(text.find("bulk-OUT transfers: 3 (5000 bytes, the largest 2048)"), std::string::npos);
    EXPECT_NE(text.find("no pool leaked"), std::string::npos);
    std::fclose(report);
    k32::ClearRequestCounts();
}

}  // namespace
}  // namespace usbpath
