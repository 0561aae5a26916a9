#include "PcFile.h"

#include "ImageGeometry.h"

#include <cstdio>
#include <memory>

PcFileResult load_pc_file(const std::string& name, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"), std::fclose);
    if (!file) {
        return PcFileResult::unreadable;
    }
    // Read in pieces rather than trusting a size asked beforehand: the file may be a pipe, and
    // reading one byte past the image's size is enough to refuse it without loading it all.
    constexpr std::size_t piece = 64 * 1024;
    for (;;) {
        const std::size_t had = bytes.size();
        if (had > image_size) {
            bytes.clear();
            return PcFileResult::too_big;
        }
        bytes.resize(had + piece);
        const std::size_t got = std::fread(bytes.data() + had, 1, piece, file.get());
        bytes.resize(had + got);
        if (got < piece) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        bytes.clear();
        return PcFileResult::unreadable;
    }
    if (bytes.size() > image_size) {
        bytes.clear();
        return PcFileResult::too_big;
    }
    return PcFileResult::loaded;
}
