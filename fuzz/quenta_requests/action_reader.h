// Reads a fuzz input as the parameters of a sequence of actions. Every read succeeds: past the
// end of the input it answers zeros, and Done() tells the caller to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quenta_fuzz {

class ActionReader {
public:
    ActionReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Done() const { return position_ >= size_; }
    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint32_t Ulong()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t(Byte()) << (8 * i);
        return value;
    }
    // A number below limit (limit > 0), from one byte when limit fits in one.
    std::uint32_t Below(std::uint32_t limit) { return (limit <= 256 ? Byte() : Ulong()) % limit; }
    bool Flag() { return Byte() & 1; }
    // A length near the one a request expects (exact, one short, one over, none) or any up to limit.
    std::uint32_t LengthNear(std::uint32_t natural, std::uint32_t limit);
    // A length for a data request: small ones most often, powers of two and their neighbours,
    // or any up to limit.
    std::uint32_t DataLength(std::uint32_t limit);
    // count bytes: the first (at most 64) taken from the input while it lasts, so that a long
    // transfer does not swallow the actions after it; a counting pattern after them.
    std::vector<std::uint8_t> Bytes(std::size_t count);

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace quenta_fuzz
