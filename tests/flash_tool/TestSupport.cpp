#include "TestSupport.h"

#include "ImageFileSettings.h"
#include "Miscunit.h"
#include "SrecRecord.h"
#include "WorkingCopy.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

using namespace brovald;

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() : previous_(fs::current_path())
{
    static std::atomic<unsigned> serial{0};
    std::random_device entropy;
    for (;;) {
        path_ = fs::temp_directory_path() /
                ("flash_tool_test_" + std::to_string(entropy()) + "_" + std::to_string(serial++));
        if (fs::create_directory(path_)) {
            break;
        }
    }
    fs::current_path(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::names_starting(const std::string& prefix) const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::uint8_t> random_image(unsigned seed)
{
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> image(image_size);
    for (auto& byte : image) {
        byte = static_cast<std::uint8_t>(generator() % 3 == 0 ? erased_byte : generator());
    }
    return image;
}

std::string srec_line(int type, std::uint32_t address, const std::vector<std::uint8_t>& data)
{
    const int address_bytes = type + 1;
    const auto count = static_cast<unsigned>(data.size()) + static_cast<unsigned>(address_bytes) + 1;
    char text[16];
    std::snprintf(text, sizeof text, "S%d%02X%0*X", type, count, 2 * address_bytes, address);
    std::string line = text;
    unsigned sum = count;
    for (int i = 0; i < address_bytes; ++i) {
        sum += address >> (8 * i) & 0xFF;
    }
    for (std::uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\n", ~sum & 0xFF);
    return line + text;
}

void ImageLayerTest::SetUp()
{
    image_file_settings = ImageFileSettings{};
    set_image_diagnostics(nullptr);
}

void ImageLayerTest::TearDown()
{
    remove_working_copy();
    close_log();
    image_file_settings = ImageFileSettings{};
    set_image_diagnostics(nullptr);
}
