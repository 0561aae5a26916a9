// Writes the S-record images the end-to-end scenarios start from: the named images of the
// fixture builder (the sample tree, that tree in each interrupted state a mount finishes, and an
// erased area).
//   brovald_fixture <name> <image file>
#include "image_io.h"
#include "image_recipes.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const auto& all = ffs_image::recipes();
    const ffs_image::Recipe* chosen = nullptr;
    for (const ffs_image::Recipe& r : all) {
        if (argc == 3 && r.name == argv[1]) {
            chosen = &r;
        }
    }
    if (chosen == nullptr) {
        std::fprintf(stderr, "usage: brovald_fixture <name> <image file>; names:\n");
        for (const ffs_image::Recipe& r : all) {
            std::fprintf(stderr, "  %-22s %s\n", r.name.c_str(), r.summary.c_str());
        }
        return 2;
    }
    const int r = save_image(argv[2], chosen->make(ffs_image::Layout{}).image());
    if (r < 0) {
        std::fprintf(stderr, "brovald_fixture: cannot write %s (%d)\n", argv[2], r);
        return 1;
    }
    return 0;
}
