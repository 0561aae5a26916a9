#include "PcFile.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace brovald {

bool load_pc_file(const std::string& name, std::vector<std::uint8_t>& bytes, std::size_t limit)
{
    bytes.clear();
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"), std::fclose);
    if (!file) {
        return false;
    }
    // Read in pieces rather than trusting a size asked beforehand: the file may be a pipe.
    constexpr std::size_t piece = 64 * 1024;
    while (bytes.size() < limit) {
        const std::size_t had = bytes.size();
        const std::size_t wanted = std::min(piece, limit - had);
        bytes.resize(had + wanted);
        const std::size_t got = std::fread(bytes.data() + had, 1, wanted, file.get());
        bytes.resize(had + got);
        if (got < wanted) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        bytes.clear();
        return false;
    }
    return true;
}

}  // namespace brovald
