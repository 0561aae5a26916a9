#include "image_io.h"

#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "SrecWriter.h"
#include "ffs.h"

#include <algorithm>

using namespace brovald;

namespace {

std::uint8_t* mounted_area = nullptr;

std::uint8_t* mounted_base()
{
    return mounted_area;
}

}  // namespace

int load_image(const std::string& file_name, ffs_image::Image& area)
{
    area.assign(image_size, erased_byte);
    const int placed = hexfile_read(file_name.c_str(), area.data(), image_size);
    if (placed < 0) {
        return placed;
    }
    swap_bytes(area.data(), area.size(), image_file_settings.swap_width);
    return 0;
}

int save_image(const std::string& file_name, const ffs_image::Image& area)
{
    // The writer swaps the memory it is given into file order.
    ffs_image::Image copy = area;
    copy.resize(image_size, erased_byte);
    image_file_settings.names = {};
    image_file_settings.names[0] = file_name;
    const WriteRange ranges[] = {{0, image_size}, {0, 0}};
    const int written = file_write_image(copy.data(), image_size, ranges);
    return std::min(written, 0);
}

int mount_image(ffs_image::Image& area)
{
    mounted_area = area.data();
    ffs_bind_flash_base(mounted_base);
    return ffs_initialize();
}
