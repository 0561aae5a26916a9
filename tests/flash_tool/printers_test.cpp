#include "ErrorNames.h"
#include "Miscunit.h"
#include "TestSupport.h"

#include <string>

using namespace brovald;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Text-mode files on Windows end lines in CR LF.
std::string without_carriage_returns(std::string text)
{
    std::erase(text, '\r');
    return text;
}

std::string log_text()
{
    return without_carriage_returns(read_file("run.log"));
}

}  // namespace

class Printers : public ImageLayerTest {
protected:
    ScratchFolder folder;
};

TEST_F(Printers, ConsoleMessageIsShownOnceAndLoggedOnce)
{
    ASSERT_TRUE(open_log("run.log"));
    CaptureStdout();
    print_console_log("Info: File system init OK!! \n");
    print_console_log("Error: file_write_image error!! %s\n", image_error_name(-54));
    const std::string console = GetCapturedStdout();
    EXPECT_EQ(console, "Info: File system init OK!! \nError: file_write_image error!! File write error\n");
    // The log is flushed after every message, so it is complete while the log is still open.
    EXPECT_EQ(log_text(), console);
}

TEST_F(Printers, LogOnlyMessagesStayOffTheConsole)
{
    ASSERT_TRUE(open_log("run.log"));
    CaptureStdout();
    print_log("Info: Files name : %s index : %d\n", "/d/f.txt", 3);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(log_text(), "Info: Files name : /d/f.txt index : 3\n");
}

TEST_F(Printers, WithoutALogOnlyTheConsoleIsWritten)
{
    CaptureStdout();
    print_console_log("Info: program version : %s\n", "1_0_0");
    print_log("nowhere\n");
    EXPECT_EQ(GetCapturedStdout(), "Info: program version : 1_0_0\n");
}

TEST_F(Printers, ASecondRunWithTheSameLogKeepsOnlyItsOwnMessages)
{
    ASSERT_TRUE(open_log("run.log"));
    print_log("first run, a long line that the second run must not leave behind\n");
    close_log();
    ASSERT_TRUE(open_log("run.log"));
    print_log("second\n");
    EXPECT_EQ(log_text(), "second\n");
}

TEST_F(Printers, MessagesLongerThanTheFormatBufferAreWrittenWhole)
{
    ASSERT_TRUE(open_log("run.log"));
    const std::string path(3000, 'p');
    CaptureStdout();
    print_console_log("Info : Write file: %s!! \n", path.c_str());
    const std::string expected = "Info : Write file: " + path + "!! \n";
    EXPECT_EQ(GetCapturedStdout(), expected);
    EXPECT_EQ(log_text(), expected);
}

TEST_F(Printers, ALogThatCannotBeCreatedIsReported)
{
    EXPECT_FALSE(open_log("no such folder/run.log"));
    CaptureStdout();
    print_log("lost\n");
    print_console_log("shown\n");
    EXPECT_EQ(GetCapturedStdout(), "shown\n");
}
