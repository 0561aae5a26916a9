// The command line and the splitting of target paths.
#include "ComportDevice.h"
#include "Miscunit.h"
#include "Paramclass.h"

#include <gtest/gtest.h>

using namespace zarnik;

namespace {

bool parse(std::vector<std::string> args, ParamClass& params)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    params = ParamClass{};
    return parserParam(static_cast<int>(argv.size()), argv.data(), params);
}

TEST(CommandLine, PortNumberAndArgumentsInOrder)
{
    ParamClass params;
    ASSERT_TRUE(parse({"Zarnik", "3", "a/x", "x", "b/y"}, params));
    EXPECT_EQ(params.comport, 3);
    EXPECT_EQ(params.arguments, (std::vector<std::string>{"a/x", "x", "b/y"}));
    ASSERT_TRUE(parse({"Zarnik", "12"}, params));
    EXPECT_TRUE(params.arguments.empty());
}

TEST(CommandLine, MissingOrNonNumericPortIsRefused)
{
    ParamClass params;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"Zarnik"},
                                                                                      {"Zarnik", ""},
                                                                                      {"Zarnik", "COM3"},
                                                                                      {"Zarnik", "3x"},
                                                                                      {"Zarnik", "-"},
                                                                                      {"Zarnik", "+"},
                                                                                      {"Zarnik", "+-1"},
                                                                                      {"Zarnik", "99999999999"}}) {
        EXPECT_FALSE(parse(args, params)) << args.back();
    }
}

TEST(CommandLine, SignedNumbersAreNumbersToo)
{
    // A negative number names a port that cannot open, so the run ends like any missing port.
    ParamClass params;
    ASSERT_TRUE(parse({"Zarnik", "-1", "a/x", "x"}, params));
    EXPECT_EQ(params.comport, -1);
    ASSERT_TRUE(parse({"Zarnik", "+3"}, params));
    EXPECT_EQ(params.comport, 3);
}

TEST(CommandLine, DevicePathWhereThePlatformAllowsIt)
{
    ParamClass params;
    EXPECT_EQ(parse({"Zarnik", "/dev/ttyACM0", "a/x", "x"}, params), serial_device_paths_allowed());
    if (serial_device_paths_allowed()) {
        EXPECT_EQ(params.device_path, "/dev/ttyACM0");
    }
}

TEST(TargetPath, FolderAndNameAtTheLastSeparatorOfEitherKind)
{
    std::string folder, name;
    getPath(folder, "a/b\\c.txt");
    getFileName(name, "a/b\\c.txt");
    EXPECT_EQ(folder, "a/b\\");
    EXPECT_EQ(name, "c.txt");
    getPath(folder, "c.txt");
    getFileName(name, "c.txt");
    EXPECT_EQ(folder, "");
    EXPECT_EQ(name, "");
    getPath(folder, "dir/");
    getFileName(name, "dir/");
    EXPECT_EQ(folder, "dir/");
    EXPECT_EQ(name, "");
}

}  // namespace
