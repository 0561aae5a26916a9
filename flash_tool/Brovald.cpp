// The run, in its fixed order: command line, working copy, image read, mount, the file list,
// write-back. The image file is touched only by the write-back, so every exit before it leaves
// the file as it was.
#include "Brovald.h"

#include "Codepage.h"
#include "ErrorNames.h"
#include "Ffsfunc.h"
#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "Miscunit.h"
#include "Paramclass.h"
#include "PcFile.h"
#include "SrecWriter.h"
#include "WorkingCopy.h"
#include "ffs.h"
#include "kit_version.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brovald {

namespace {

constexpr const char* program_version = KIT_VERSION_UNDERSCORED;
constexpr const char* program_author = "the handset kit team";

// The write flow's open: write, truncate, append, create.
constexpr int open_for_replacing = FFS_O_WRITE | FFS_O_TRUNC | FFS_O_APPEND | FFS_O_CREATE;

// The write-back range table: room for 40 ranges, ended by one of length 0.
constexpr std::size_t write_range_slots = 40;

int end_run(int status)
{
    remove_working_copy();
    return status;
}

// One target path as typed and in the form every FFS call gets.
struct Target {
    std::string typed;
    std::string path;
};

// Every target path in its FFS form, checked before anything is made: a path without any
// component names nothing to create or write. Returns 0 or the status that ends the run.
int take_targets(const ParamClass& params, std::vector<Target>& targets)
{
    for (std::size_t i = 0; i < params.file_list.size(); i += 2) {
        const std::string& typed = params.file_list[i];
        Target target{typed, ffs_target_path(typed)};
        if (target.path.empty()) {
            print_console_log("Error: FFS path '%s' names no folder or file!! %s\n", typed.c_str(),
                              ffs_error_name(FFS_E_BADNAME));
            return FFS_E_BADNAME;
        }
        targets.push_back(std::move(target));
    }
    return 0;
}

void make_folders(const Target& target)
{
    ffs_dir cursor{};
    const int r = FFS_SetPath(target.path, cursor);
    if (r < 0) {
        print_console_log("Error: File system FFS_SetPath error!! %s\n", ffs_error_name(r));
    } else {
        print_console_log("Info: File system FFS_SetPath OK!! \n");
    }
}

// An existing file at the target is removed first; a failure here is reported and the run goes
// on, since the truncating open replaces the file anyway.
void remove_existing(const Target& target)
{
    int r = checkFileExist(target.path);
    if (r < 0) {
        print_console_log("Error: File system checkFileExist error!! %s\n", ffs_error_name(r));
    } else if (r == 1) {
        print_log("Info : Remove File! %s\n", target.typed.c_str());
        r = ffs_remove(target.path.c_str());
        if (r < 0) {
            print_console_log("Error: File system ffs_remove error!! %s\n", ffs_error_name(r));
        }
    } else {
        print_console_log("Info: File system checkFileExist OK!! %s\n", ffs_error_name(r));
    }
}

// Stores one PC file at the target. Returns 0 or the status that ends the run.
int write_pc_file(const Target& target, const std::string& pc_file)
{
    remove_existing(target);

    // A file larger than the whole image can never fit: the FFS runs out of space before its
    // first image_size + 1 bytes are stored, so loading more would only cost memory.
    std::vector<std::uint8_t> bytes;
    if (!load_pc_file(pc_file, bytes, std::size_t{image_size} + 1)) {
        print_console_log("Error: PC file read error!! %s\n", pc_file.c_str());
        return brovald_exit_pc_file;
    }

    // A refused open is not reported here: the write refuses the descriptor and says so.
    const int fd = ffs_open(target.path.c_str(), open_for_replacing);
    // An empty file has no bytes to hand over, which the write refuses as an invalid argument.
    const std::uint8_t* data = bytes.empty() ? nullptr : bytes.data();
    int r = ffs_write_b(fd, data, static_cast<int>(bytes.size()));
    print_console_log("Info : Write file: %s!! \n", target.typed.c_str());
    if (r < 0) {
        print_console_log("Error: File system ffs_write error!! %s\n", ffs_error_name(r));
        return r;
    }
    r = ffs_close(fd);
    if (r < 0) {
        print_console_log("Error: File system ffs_close error!! %s\n", ffs_error_name(r));
    }
    print_console_log("Info : Write file: %s!! OK\n", target.typed.c_str());
    return 0;
}

// Walks the file list: a path at an even position gets its folders, the PC file after it is
// written there. Returns 0 or the status that ends the run.
int write_file_list(const ParamClass& params, const std::vector<Target>& targets)
{
    for (std::size_t i = 0; i < params.file_list.size(); ++i) {
        const Target& target = targets[i / 2];
        if (i % 2 == 0) {
            make_folders(target);
            continue;
        }
        const int r = write_pc_file(target, params.file_list[i]);
        if (r < 0) {
            return r;
        }
    }
    return 0;
}

}  // namespace

int brovald_main(int argc, char** argv)
{
    codepage_init();
    image_file_settings.program_path = argc > 0 ? argv[0] : "";

    if (argc <= 2) {
        print_console_log("Info: program version : %s\n", program_version);
        print_console_log("Info: program author : %s\n", program_author);
        return end_run(brovald_exit_banner);
    }
    ParamClass params;
    if (!parserParam(argc, argv, params)) {
        print_console_log("Error: cannot create the log file %s\n", argv[1]);
        return brovald_exit_no_log;
    }
    std::vector<Target> targets;
    if (const int r = take_targets(params, targets); r < 0) {
        return r;
    }

    create_working_copy();
    std::uint8_t* image = working_copy_base();
    if (image == nullptr) {
        print_console_log("Error: no working copy of the flash image!!\n");
        return end_run(brovald_exit_no_image);
    }
    file_read_image(image, image_size);
    print_console_log("Info: read Flash file OK!! \n");

    ffs_bind_flash_base(working_copy_base);
    const int mounted = ffs_initialize();
    if (mounted < 0) {
        print_console_log("Error: File system init error!! %s\n", ffs_error_name(mounted));
        return end_run(brovald_exit_no_image);
    }
    print_console_log("Info: File system init OK!! \n");

    if (const int r = write_file_list(params, targets); r < 0) {
        return end_run(r);
    }

    std::array<WriteRange, write_range_slots> ranges{};
    ranges[0] = WriteRange{0, image_size};
    const int written = file_write_image(image, image_size, ranges);
    if (written < 0) {
        print_console_log("Error: file_write_image error!! %s\n", image_error_name(written));
        return end_run(written);
    }
    print_console_log("Info: Brovald write OK!! \n");
    return end_run(0);
}

}  // namespace brovald
