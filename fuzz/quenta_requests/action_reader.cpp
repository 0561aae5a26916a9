#include "action_reader.h"

#include <algorithm>

namespace quenta_fuzz {

std::uint32_t ActionReader::LengthNear(std::uint32_t natural, std::uint32_t limit)
{
    switch (Byte() % 8) {
        case 0:
            return 0;
        case 1:
            return natural ? natural - 1 : 0;
        case 2:
            return natural + 1;
        case 3:
            return Below(limit + 1);
        default:
            return natural;
    }
}

std::uint32_t ActionReader::DataLength(std::uint32_t limit)
{
    std::uint32_t length;
    switch (Byte() % 4) {
        case 0:
        case 1:
            length = Byte() % 32;
            break;
        case 2: {
            std::uint8_t choice = Byte();
            length = (1u << (choice % 17)) + (choice / 17 % 3) - 1;  // 2^n - 1, 2^n, 2^n + 1
            break;
        }
        default:
            length = Below(limit + 1);
            break;
    }
    return std::min(length, limit);
}

std::vector<std::uint8_t> ActionReader::Bytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    std::size_t taken = std::min({count, std::size_t(64), size_ - std::min(position_, size_)});
    std::copy_n(data_ + position_, taken, bytes.begin());
    position_ += taken;
    for (std::size_t i = taken; i < count; ++i)
        bytes[i] = std::uint8_t(i);
    return bytes;
}

}  // namespace quenta_fuzz
