// The command line, the splitting of target paths, and the size of a local file asked up front.
#include "ComportDevice.h"
#include "Miscunit.h"
#include "Paramclass.h"
#include "Zarnik.h"
#include "local_file_size.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

TEST(LocalFileSize, SizesPastThirtyTwoBitsAreExactAndOnlyRegularFilesHaveOne)
{
    // Sparse files: nothing of the 4 GiB is written.
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("zarnik-size-" + std::to_string(std::rand()));
    fs::create_directories(folder);
    const fs::path file = folder / "big";
    std::ofstream(file, std::ios::binary).put('x');
    EXPECT_EQ(regular_file_size(file.string()), std::optional<std::uint64_t>{1});
    for (const std::uint64_t size : {kMaxLocalFileSize, kMaxLocalFileSize + 1, std::uint64_t{5} << 30}) {
        fs::resize_file(file, size);
        EXPECT_EQ(regular_file_size(file.string()), std::optional<std::uint64_t>{size});
    }
    EXPECT_EQ(regular_file_size(folder.string()), std::nullopt) << "a folder";
    EXPECT_EQ(regular_file_size((folder / "missing").string()), std::nullopt);
    fs::remove_all(folder);
}

}  // namespace
