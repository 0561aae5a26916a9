#include "root_params.h"

#include "image_format.h"

RootParams root_params(std::string_view root_name)
{
    RootParams params;
    const std::size_t first = root_name.find('/');
    const std::size_t second = first == std::string_view::npos ? first : root_name.find('/', first + 1);
    if (second == std::string_view::npos) {
        return params;
    }
    std::size_t at = second + 1;
    while (at < root_name.size()) {
        const char letter = root_name[at++];
        std::uint32_t value = 0;
        while (at < root_name.size() && root_name[at] >= '0' && root_name[at] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(root_name[at++] - '0');
        }
        if (letter == 'b') {
            params.blocks = static_cast<std::uint8_t>(value);
        } else if (letter == 'j') {
            params.journal_size = value;
        }
    }
    if (params.journal_size > 0 && params.journal_size < 1024) {
        params.journal_size =
            static_cast<std::uint32_t>(std::uint64_t{params.journal_size} * ffs_image::kBlockSize / 256);
    }
    return params;
}
