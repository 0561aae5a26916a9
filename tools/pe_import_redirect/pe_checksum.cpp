#include "pe_import_redirect.h"

namespace pe_import_redirect {

std::uint32_t pe_checksum(std::span<const std::uint8_t> image, std::size_t checksum_offset)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        std::uint32_t word = image[i];
        if (i + 1 < image.size()) {
            word |= std::uint32_t(image[i + 1]) << 8;
        }
        if (i >= checksum_offset && i < checksum_offset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace pe_import_redirect
