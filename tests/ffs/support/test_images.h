// Small helpers the FFS tests share: test data, layouts, and reading the recording flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image_builder.h"
#include "image_check.h"
#include "recording_flash.h"

namespace ffs_test {

// Deterministic bytes that contain zeros and 0xFF, the values the length rule cares about.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed = 1);

inline std::vector<std::uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

// A formatted layout whose root name carries these parameters; journal_size is the journal the
// builder lays out (0: none), chunk the segment size its files use.
ffs_image::Layout layout_for(const std::string& root_name, std::uint32_t journal_size = 4096,
                             std::uint32_t chunk = 8192);

inline ffs_image::Layout no_journal()
{
    return layout_for("/ffs/j0", 0);
}

std::uint16_t flash16(const RecordingFlash& flash, std::uint32_t offset);
inline std::uint16_t block_state(const RecordingFlash& flash, int block)
{
    return flash16(flash, block * 0x10000u + 8);
}
inline std::uint16_t block_age(const RecordingFlash& flash, int block)
{
    return flash16(flash, block * 0x10000u + 6);
}

// The FFS's block accounting against the independent recount; empty when they agree.
std::string accounting_differences(RecordingFlash& flash, const ffs_image::CheckResult& check, int blocks);

}  // namespace ffs_test
