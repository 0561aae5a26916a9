// ffs_inspect's commands that read the tree through the FFS: list, print, extract.
#include "inspect_commands.h"

#include "Ffsfunc.h"
#include "ErrorNames.h"
#include "ffs_tree.h"
#include "image_check.h"
#include "image_io.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace brovald;

namespace fs = std::filesystem;

namespace {

bool mounted(ffs_image::Image& area)
{
    const int r = mount_image(area);
    if (r < 0) {
        std::fprintf(stderr, "ffs_inspect: the image does not mount: %s\n", ffs_error_name(r));
        return false;
    }
    return true;
}

char type_letter(int type)
{
    switch (type) {
        case FFS_TYPE_FILE:
            return 'f';
        case FFS_TYPE_DIR:
            return 'd';
        case FFS_TYPE_LINK:
            return 'l';
        default:
            return '?';
    }
}

// A stored name as the PC shows it, unless it could lead out of the folder or is not a name.
bool safe_name(const std::string& shown)
{
    return !shown.empty() && shown != "." && shown != ".." && shown.find_first_of("/\\") == std::string::npos;
}

bool write_pc_file(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int inspect_list(ffs_image::Image& area)
{
    // Link targets come from the independent reading: the FFS only follows links.
    const ffs_image::CheckResult independent = ffs_image::check_image(area.data());
    if (!mounted(area)) {
        return 1;
    }
    int status = 0;
    for (const TreeEntry& entry : walk_tree()) {
        const std::string shown = from_utf8(entry.path);
        if (entry.error < 0) {
            std::printf("! %s  %s\n", shown.c_str(), ffs_error_name(entry.error));
            status = 1;
            continue;
        }
        const ffs_stat_info& info = entry.info;
        std::printf("%c %s 0x%02X %8d  %s", type_letter(info.type), info.read_only ? "ro" : "rw", info.flags, info.size,
                    shown.c_str());
        if (info.type == FFS_TYPE_FILE && info.segments > 0) {
            std::printf("  (%d segment%s)", info.segments, info.segments == 1 ? "" : "s");
        }
        if (info.type == FFS_TYPE_LINK) {
            const auto link = independent.tree.find(entry.path);
            if (link != independent.tree.end()) {
                const std::string target(link->second.content.begin(), link->second.content.end());
                std::printf(" -> %s", from_utf8(target).c_str());
            }
        }
        std::printf("\n");
    }
    return status;
}

int inspect_print(ffs_image::Image& area, const std::string& path)
{
    if (!mounted(area)) {
        return 1;
    }
    std::vector<std::uint8_t> bytes;
    const int r = read_ffs_file(ffs_target_path(path), bytes);
    if (r < 0) {
        std::fprintf(stderr, "ffs_inspect: %s: %s\n", path.c_str(), ffs_error_name(r));
        return 1;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return 0;
}

int inspect_extract(ffs_image::Image& area, const std::string& folder)
{
    if (!mounted(area)) {
        return 1;
    }
    int status = 0;
    std::error_code error;
    fs::create_directories(folder, error);
    for (const TreeEntry& entry : walk_tree()) {
        if (entry.path == "/" || entry.path == "/.journal") {
            continue;
        }
        const std::string shown = from_utf8(entry.path);
        fs::path target = folder;
        bool safe = true;
        for (const std::string& part : path_components(entry.path)) {
            const std::string name = from_utf8(part);
            safe = safe && safe_name(name);
            target /= name;
        }
        if (!safe || entry.error < 0) {
            std::fprintf(stderr, "ffs_inspect: %s: %s\n", shown.c_str(),
                         entry.error < 0 ? ffs_error_name(entry.error) : "name not usable on the PC, left out");
            status = 1;
            continue;
        }
        if (entry.info.type == FFS_TYPE_DIR) {
            if (!fs::create_directories(target, error) && error) {
                std::fprintf(stderr, "ffs_inspect: cannot make %s\n", target.string().c_str());
                status = 1;
            }
            continue;
        }
        if (entry.info.type != FFS_TYPE_FILE) {
            std::fprintf(stderr, "ffs_inspect: %s: a link, left out\n", shown.c_str());
            continue;
        }
        std::vector<std::uint8_t> bytes;
        const int r = read_ffs_file(entry.path, bytes);
        if (r < 0 || !write_pc_file(target, bytes)) {
            std::fprintf(stderr, "ffs_inspect: %s: %s\n", shown.c_str(),
                         r < 0 ? ffs_error_name(r) : "cannot write it on the PC");
            status = 1;
        }
    }
    return status;
}
