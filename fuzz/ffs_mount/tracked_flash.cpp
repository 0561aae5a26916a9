#include "tracked_flash.h"

#include <cstring>

#include "device.h"
#include "ffs.h"

namespace ffs_fuzz {
namespace {

TrackedFlash* bound = nullptr;

std::uint8_t* flash_base()
{
    return bound->data();
}
int driver_init()
{
    return 0;
}
void driver_erase(std::uint8_t block)
{
    bound->erase(block);
}
void driver_write_halfword(std::uint8_t* address, std::uint16_t value)
{
    bound->write_halfword(address, value);
}
void driver_write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count)
{
    bound->write(address, source, count);
}
void driver_nothing() {}

const flashfs::DriverOps tracked_driver = {
    driver_init, driver_erase, driver_write_halfword, driver_write, driver_nothing, driver_nothing, driver_nothing,
};

}  // namespace

TrackedFlash::TrackedFlash(const std::vector<std::vector<std::uint8_t>>& bases)
    : bases_(bases), differs_(bases.size()), image_(bases.front())
{
    for (std::size_t b = 1; b < bases.size(); ++b) {
        for (std::uint32_t page = 0; page < kPages; ++page) {
            const std::uint32_t at = page * kPageSize;
            differs_[b][page] = std::memcmp(bases[b].data() + at, bases[0].data() + at, kPageSize) != 0;
        }
    }
    bound = this;
    ffs_bind_flash_base(flash_base);
    flashfs::ffs_bind_driver(&tracked_driver);
}

void TrackedFlash::restore(std::size_t index)
{
    if (index != current_) {
        dirty_ |= differs_[current_] | differs_[index];
        current_ = index;
    }
    const std::vector<std::uint8_t>& base = bases_[index];
    for (std::size_t left = dirty_.count(), page = 0; left > 0; ++page) {
        if (dirty_[page]) {
            std::memcpy(image_.data() + page * kPageSize, base.data() + page * kPageSize, kPageSize);
            --left;
        }
    }
    dirty_.reset();
}

void TrackedFlash::load(const std::uint8_t* image)
{
    std::memcpy(image_.data(), image, kImageSize);
    dirty_.set();
}

void TrackedFlash::poke(std::uint32_t offset, std::uint8_t value)
{
    touch(offset, 1);
    image_[offset] = value;
}

bool TrackedFlash::take_written()
{
    const bool was = written_;
    written_ = false;
    return was;
}

void TrackedFlash::touch(std::uint32_t offset, std::uint32_t count)
{
    for (std::uint32_t page = offset / kPageSize; page <= (offset + count - 1) / kPageSize && page < kPages; ++page)
        dirty_[page] = true;
}

void TrackedFlash::erase(std::uint8_t block)
{
    const std::uint32_t start = block * 0x10000u;
    touch(start, 0x10000u);
    std::memset(image_.data() + start, 0xFF, 0x10000u);
    written_ = true;
}

void TrackedFlash::write_halfword(std::uint8_t* address, std::uint16_t value)
{
    // An even offset: the halfword lies in one page. (Most of the FFS's writes come this way.)
    dirty_.set(static_cast<std::uint32_t>(address - image_.data()) / kPageSize);
    address[0] = static_cast<std::uint8_t>(value);
    address[1] = static_cast<std::uint8_t>(value >> 8);
    written_ = true;
}

// The same bytes as the halfword rules give (the driver stores what it is given), in one copy.
void TrackedFlash::write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count)
{
    if (count == 0)
        return;
    touch(static_cast<std::uint32_t>(address - image_.data()), count);
    std::memcpy(address, source, count);
    written_ = true;
}

}  // namespace ffs_fuzz
