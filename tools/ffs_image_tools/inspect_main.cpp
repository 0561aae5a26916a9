// ffs_inspect: looks into the flash file system of an S-record flash image without changing the
// image file.
#include "Codepage.h"
#include "ErrorNames.h"
#include "image_io.h"
#include "inspect_commands.h"

#include <cstdio>
#include <string>

using namespace brovald;

namespace {

const char* const usage =
    "usage: ffs_inspect <image file> <command>\n"
    "  list             the tree: type, ro/rw, flags byte, size, path\n"
    "  print <path>     the bytes of a file to standard output\n"
    "  extract <folder> folders and files into a PC folder\n"
    "  check            consistency, the FFS's reading against an independent one, block use\n"
    "Exit status: 0 done, 1 the image has a problem or the command failed, 2 bad usage or image file.\n";

}  // namespace

int main(int argc, char** argv)
{
    codepage_init();
    if (argc < 3) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string command = argv[2];
    const bool takes_argument = command == "print" || command == "extract";
    const bool known = takes_argument || command == "list" || command == "check";
    if (!known || argc != (takes_argument ? 4 : 3)) {
        std::fputs(usage, stderr);
        return 2;
    }
    ffs_image::Image area;
    const int loaded = load_image(argv[1], area);
    if (loaded < 0) {
        std::fprintf(stderr, "ffs_inspect: %s: %s\n", argv[1], image_error_name(loaded));
        return 2;
    }
    if (command == "list") {
        return inspect_list(area);
    }
    if (command == "print") {
        return inspect_print(area, argv[3]);
    }
    if (command == "extract") {
        return inspect_extract(area, argv[3]);
    }
    return inspect_check(area);
}
