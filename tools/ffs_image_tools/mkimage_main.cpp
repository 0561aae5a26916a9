// ffs_mkimage: a freshly formatted flash image as S-records. The blocks, the inode table, the
// root (whose name carries the format parameters) and the journal are laid out by the format's
// rules; content from a PC folder is then written through the FFS itself.
#include "Codepage.h"
#include "ErrorNames.h"
#include "image_builder.h"
#include "image_check.h"
#include "image_fill.h"
#include "image_io.h"
#include "root_params.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

using namespace brovald;

namespace {

const char* const usage =
    "usage: ffs_mkimage [--root <root name>] [--from <folder>] <image file>\n"
    "  --root  the root directory's name with the format parameters after its second '/',\n"
    "          such as /ffs/j512 (default /: every parameter at its default)\n"
    "  --from  a PC folder whose folders and files the image then holds\n"
    "Exit status: 0 written, 1 the image cannot be made or written, 2 bad usage.\n";

// The longest root name taken: far more than any parameter list needs, well inside one object.
constexpr std::size_t longest_root_name = 255;

struct Options {
    std::string root = "/";
    std::string from;
    std::string output;
};

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--root" || argument == "--from") && i + 1 < argc) {
            (argument == "--root" ? options.root : options.from) = argv[++i];
        } else if (argument.rfind("--", 0) != 0 && options.output.empty()) {
            options.output = argument;
        } else {
            return false;
        }
    }
    return !options.output.empty() && !options.root.empty() && options.root[0] == '/' &&
           options.root.size() <= longest_root_name;
}

int fail(const std::string& text)
{
    std::fprintf(stderr, "ffs_mkimage: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    codepage_init();
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs(usage, stderr);
        return 2;
    }
    const RootParams params = root_params(options.root);
    ffs_image::Layout layout;
    layout.root_name = options.root;
    layout.journal_size = params.journal_size;
    layout.formatted_blocks = std::clamp(params.blocks, 0, ffs_image::kBlocks);
    ffs_image::Image area;
    try {
        area = ffs_image::ImageBuilder(layout).image();
    } catch (const std::exception& e) {
        return fail(std::string("cannot lay out the image: ") + e.what());
    }
    int r = mount_image(area);
    if (r < 0) {
        return fail("the file system refuses root \"" + options.root + "\": " + ffs_error_name(r));
    }
    if (!options.from.empty()) {
        std::string problem;
        if (fill_from_folder(options.from, problem) < 0) {
            return fail(problem);
        }
    }
    ffs_image::CheckOptions check_options;
    check_options.blocks = layout.formatted_blocks;
    check_options.journal_size = params.journal_size;
    const ffs_image::CheckResult check = ffs_image::check_image(area.data(), check_options);
    if (!check.ok()) {
        return fail("the image made does not pass the check:\n" + check.report());
    }
    r = save_image(options.output, area);
    if (r < 0) {
        return fail(options.output + ": " + image_error_name(r));
    }
    return 0;
}
