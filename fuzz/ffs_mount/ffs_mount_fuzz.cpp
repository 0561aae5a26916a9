// Mounts fuzzed flash images and walks their tree read-only: no crash, no access outside the
// image, no hang. An input of exactly 4 MiB is an image; any other input names a base image
// (first byte) followed by patches: block (1 byte), offset in the block (2 bytes, little-endian),
// length (1 byte) and that many bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base_images.h"
#include "ffs.h"

namespace {

constexpr std::size_t kImageSize = 0x400000;
std::vector<std::uint8_t> image(kImageSize);

std::uint8_t* image_base() { return image.data(); }

void load(const std::uint8_t* data, std::size_t size)
{
    if (size == kImageSize) {
        std::memcpy(image.data(), data, size);
        return;
    }
    const auto& bases = ffs_fuzz::base_images();
    image = bases[size > 0 ? data[0] % bases.size() : 0];
    for (std::size_t at = 1; at + 4 <= size;) {
        std::uint32_t block = data[at] % 64u;
        std::uint32_t offset = data[at + 1] | (data[at + 2] << 8);
        std::size_t length = data[at + 3];
        at += 4;
        for (std::size_t k = 0; k < length && at < size; ++k, ++at)
            image[block * 0x10000u + ((offset + k) & 0xFFFFu)] = data[at];
    }
}

void read_file(const std::string& path)
{
    int fd = ffs_open(path.c_str(), FFS_O_READ);
    if (fd < 0)
        return;
    std::uint8_t buffer[4096];
    for (int guard = 0; guard < 2048 && ffs_read(fd, buffer, sizeof buffer) > 0; ++guard) {
    }
    ffs_close(fd);
}

void walk(const std::string& path, int depth)
{
    ffs_dir cursor;
    if (depth > 8 || ffs_opendir(path.c_str(), &cursor) < 0)
        return;
    char name[FFS_NAME_BUFFER];
    for (int guard = 0; guard < 4096 && ffs_readdir(&cursor, name, sizeof name) > 0; ++guard) {
        name[sizeof name - 1] = 0;
        std::string child = (path == "/" ? "/" : path + "/") + name;
        ffs_stat_info info;
        if (ffs_stat(child.c_str(), &info) < 0)
            continue;
        if (info.type == FFS_TYPE_DIR)
            walk(child, depth + 1);
        else
            read_file(child);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    load(data, size);
    ffs_bind_flash_base(image_base);
    if (ffs_initialize() == 0)
        walk("/", 0);
    return 0;
}
