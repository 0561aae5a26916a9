// Shared fixtures of the image-layer tests: a scratch folder to run in, file helpers, and S-record
// text formed with printf, independently of the writer under test.
#pragma once

#include "ImageFileSettings.h"
#include "ImageGeometry.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A fresh folder that is the current folder while the object lives, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Names in the folder that start with prefix.
    std::vector<std::string> names_starting(const std::string& prefix) const;

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// The one range the program writes back: the whole image.
inline constexpr brovald::WriteRange whole_image[] = {{0, brovald::image_size}, {0, 0}};

// An image of pseudo-random bytes, a third of them erased, the same for the same seed.
std::vector<std::uint8_t> random_image(unsigned seed);

// One data record of the given type (1, 2, 3) in printf's upper-case form with a correct
// checksum.
std::string srec_line(int type, std::uint32_t address, const std::vector<std::uint8_t>& data);

// Every process-wide piece of the image layer back to its start state: no log, no working copy,
// default settings, diagnostics on standard error. Each test starts and ends with it, because
// under Wine all tests share one process.
class ImageLayerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
