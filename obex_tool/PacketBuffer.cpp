#include "PacketBuffer.h"

#include <cstring>
#include <new>

namespace zarnik {

bool PacketBuffer::allocate(std::size_t capacity)
{
    try {
        block_.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
        block_.clear();
        return false;
    }
    reset();
    return true;
}

void PacketBuffer::release()
{
    std::vector<std::uint8_t>().swap(block_);
    reset();
}

void PacketBuffer::reset()
{
    length_ = 0;
    overflowed_ = false;
}

bool PacketBuffer::room_for(std::size_t count)
{
    if (overflowed_ || count > block_.size() - length_) {
        overflowed_ = true;
        return false;
    }
    return true;
}

void PacketBuffer::put_u8(std::uint8_t value)
{
    if (room_for(1)) {
        block_[length_++] = value;
    }
}

void PacketBuffer::put_u16(std::uint16_t value)
{
    if (room_for(2)) {
        block_[length_++] = static_cast<std::uint8_t>(value >> 8);
        block_[length_++] = static_cast<std::uint8_t>(value);
    }
}

void PacketBuffer::put_u32(std::uint32_t value)
{
    if (room_for(4)) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            block_[length_++] = static_cast<std::uint8_t>(value >> shift);
        }
    }
}

void PacketBuffer::put_bytes(const std::uint8_t* bytes, std::size_t count)
{
    if (count != 0 && room_for(count)) {
        std::memcpy(block_.data() + length_, bytes, count);
        length_ += count;
    }
}

void PacketBuffer::put_name_text(std::u16string_view units)
{
    if (!room_for(2 * (units.size() + 1))) {
        return;
    }
    for (const char16_t unit : units) {
        put_u16(static_cast<std::uint16_t>(unit));
    }
    put_u16(0);
}

}  // namespace zarnik
