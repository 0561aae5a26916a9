// The image layer's part of a Brovald run, without the file system: make the working copy, read
// the S-record image into it, write it back over the same file, remove the working copy.
//   image_roundtrip <log file> <image file>
#include "ErrorNames.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "Miscunit.h"
#include "SrecWriter.h"
#include "WorkingCopy.h"

#include <cstdio>

using namespace brovald;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: image_roundtrip <log file> <image file>\n");
        return 2;
    }
    if (!open_log(argv[1])) {
        std::fprintf(stderr, "image_roundtrip: cannot create the log %s\n", argv[1]);
        return 2;
    }
    image_file_settings.program_path = argv[0];
    image_file_settings.names[0] = argv[2];
    create_working_copy();
    std::uint8_t* image = working_copy_base();
    if (image == nullptr) {
        return 1;
    }
    file_read_image(image, image_size);
    const WriteRange ranges[] = {{0, image_size}, {0, 0}};
    const int written = file_write_image(image, image_size, ranges);
    remove_working_copy();
    if (written < 0) {
        std::fprintf(stderr, "image_roundtrip: %s\n", image_error_name(written));
        return 1;
    }
    return 0;
}
