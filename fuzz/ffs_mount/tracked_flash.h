// The fuzzed image and the flash driver that writes into it, remembering which pages each input
// changed: the next input restores only those pages from its base image instead of copying all
// 4 MiB, which would cost more than the mount itself.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

namespace ffs_fuzz {

class TrackedFlash {
public:
    static constexpr std::uint32_t kImageSize = 0x400000;
    static constexpr std::uint32_t kPageSize = 0x1000;
    static constexpr std::uint32_t kPages = kImageSize / kPageSize;

    // Binds the image and the driver to the FFS; `bases` must outlive this object.
    explicit TrackedFlash(const std::vector<std::vector<std::uint8_t>>& bases);

    // The image becomes base `index` again: only the pages changed since it was last restored,
    // and those where the two bases differ, are copied.
    void restore(std::size_t index);
    // The whole image replaced (an input that is an image itself).
    void load(const std::uint8_t* image);
    // One byte changed by a patch of the input.
    void poke(std::uint32_t offset, std::uint8_t value);

    // Whether the FFS has written or erased anything since the last call.
    bool take_written();

    // Driver operations.
    void erase(std::uint8_t block);
    void write_halfword(std::uint8_t* address, std::uint16_t value);
    void write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count);
    std::uint8_t* data() { return image_.data(); }

private:
    void touch(std::uint32_t offset, std::uint32_t count);

    const std::vector<std::vector<std::uint8_t>>& bases_;
    std::vector<std::bitset<kPages>> differs_;  // per base: pages that differ from base 0
    std::vector<std::uint8_t> image_;
    std::bitset<kPages> dirty_;
    std::size_t current_ = 0;
    bool written_ = false;
};

}  // namespace ffs_fuzz
