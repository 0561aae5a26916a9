// A write descriptor over one packet block, and big-endian readers of received bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zarnik {

class PacketBuffer {
public:
    // Allocates the block (capacity bytes); false when there is no memory for it.
    bool allocate(std::size_t capacity);
    void release();
    // Write position back to the start, length 0.
    void reset();

    // Writers advance the write position. A write that does not fit writes nothing and marks
    // the buffer overflowed until the next reset.
    void put_u8(std::uint8_t value);
    void put_u16(std::uint16_t value);
    void put_u32(std::uint32_t value);
    void put_bytes(const std::uint8_t* bytes, std::size_t count);
    // A Name: the UTF-16 units of text (system code page), high byte first, then a 16-bit zero.
    void put_name_text(std::u16string_view units);

    bool overflowed() const { return overflowed_; }
    std::size_t length() const { return length_; }
    std::size_t capacity() const { return block_.size(); }
    std::uint8_t* data() { return block_.data(); }
    const std::uint8_t* data() const { return block_.data(); }
    bool allocated() const { return !block_.empty(); }

private:
    bool room_for(std::size_t count);

    std::vector<std::uint8_t> block_;
    std::size_t length_ = 0;
    bool overflowed_ = false;
};

inline std::uint16_t read_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t read_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace zarnik
