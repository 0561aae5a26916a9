#include "recording_flash.h"

#include <algorithm>
#include <cstring>

#include "device.h"
#include "ffs.h"

namespace ffs_test {
namespace {

int driver_init()
{
    return 0;
}
void driver_erase(std::uint8_t block)
{
    RecordingFlash::current()->erase(block);
}
void driver_write_halfword(std::uint8_t* address, std::uint16_t value)
{
    RecordingFlash::current()->write_halfword(address, value);
}
void driver_write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count)
{
    RecordingFlash::current()->write(address, source, count);
}
void driver_nothing() {}

const flashfs::DriverOps recording_driver = {
    driver_init, driver_erase, driver_write_halfword, driver_write, driver_nothing, driver_nothing, driver_nothing,
};

std::uint8_t* flash_base()
{
    return RecordingFlash::current()->data();
}

}  // namespace

RecordingFlash* RecordingFlash::current_ = nullptr;

RecordingFlash::RecordingFlash(std::vector<std::uint8_t> image) : image_(std::move(image))
{
    image_.resize(kFlashSize, 0xFF);
    current_ = this;
    ffs_bind_flash_base(flash_base);
    flashfs::ffs_bind_driver(&recording_driver);
}

RecordingFlash::~RecordingFlash()
{
    if (current_ == this) {
        current_ = nullptr;
        ffs_bind_flash_base(nullptr);
        flashfs::ffs_bind_driver(nullptr);
    }
}

void RecordingFlash::reload(const std::vector<std::uint8_t>& image)
{
    std::copy(image.begin(), image.begin() + std::min<std::size_t>(image.size(), kFlashSize), image_.begin());
    reloaded_ = image_;
    written_.reset();
    restore_power();
    reset_counts();
}

void RecordingFlash::restart()
{
    if (reloaded_.empty()) {
        reload(image_);
        return;
    }
    for (std::size_t page = 0; page < written_.size(); ++page) {
        if (written_[page])
            std::memcpy(image_.data() + page * kPageSize, reloaded_.data() + page * kPageSize, kPageSize);
    }
    written_.reset();
    restore_power();
    reset_counts();
}

void RecordingFlash::touch(std::uint32_t offset, std::uint32_t count)
{
    for (std::uint32_t page = offset / kPageSize; page <= (offset + count - 1) / kPageSize; ++page)
        written_[page] = true;
}

void RecordingFlash::reset_counts()
{
    operations_ = halfwords_ = 0;
    writes_.fill(0);
    erases_.fill(0);
    violations_.clear();
    interior_.clear();
}

bool RecordingFlash::next_operation()
{
    std::uint64_t index = operations_++;
    if (record_kinds_)
        interior_.push_back(in_bulk_);
    if (index >= cut_)
        power_lost_ = true;
    return !power_lost_;
}

void RecordingFlash::erase(std::uint8_t block)
{
    if (!next_operation())
        return;
    std::memset(image_.data() + std::size_t{block} * 0x10000, 0xFF, 0x10000);
    touch(block * 0x10000u, 0x10000u);
    ++erases_[block];
}

void RecordingFlash::write_halfword(std::uint8_t* address, std::uint16_t value)
{
    if (!next_operation())
        return;
    auto offset = static_cast<std::uint32_t>(address - image_.data());
    std::uint16_t before = static_cast<std::uint16_t>(address[0] | (address[1] << 8));
    if ((value & ~before) != 0)
        violations_.push_back(BitViolation{offset, before, value});
    address[0] = static_cast<std::uint8_t>(value & 0xFF);
    address[1] = static_cast<std::uint8_t>(value >> 8);
    touch(offset, 2);
    ++halfwords_;
    ++writes_[offset >> 16];
}

void RecordingFlash::write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count)
{
    std::size_t first = interior_.size();
    in_bulk_ = true;
    flashfs::write(address, source, count);
    in_bulk_ = false;
    if (record_kinds_ && interior_.size() > first) {
        interior_[first] = false;
        interior_.back() = false;
    }
}

std::vector<std::uint64_t> RecordingFlash::cut_points(std::uint64_t interior_stride) const
{
    std::vector<std::uint64_t> points;
    for (std::uint64_t i = 0; i < interior_.size(); ++i) {
        if (!interior_[i] || (interior_stride > 0 && i % interior_stride == 0))
            points.push_back(i);
    }
    points.push_back(interior_.size());  // no cut at all
    return points;
}

}  // namespace ffs_test
