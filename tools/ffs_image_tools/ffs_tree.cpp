#include "ffs_tree.h"

#include "image_format.h"

#include <array>
#include <set>

namespace {

std::string child_path(const std::string& folder, const char* name)
{
    std::string path = folder;
    if (path.back() != '/') {
        path.push_back('/');
    }
    return path.append(name);
}

void walk_folder(const std::string& folder, std::vector<TreeEntry>& out, std::set<int>& entered)
{
    ffs_dir cursor{};
    const int entries = ffs_opendir(folder.c_str(), &cursor);
    if (entries < 0) {
        out.push_back(TreeEntry{folder, entries, {}});
        return;
    }
    std::array<char, 1024> name{};
    for (int seen = 0; seen < entries; ++seen) {
        const int found = ffs_readdir(&cursor, name.data(), static_cast<int>(name.size()));
        if (found <= 0) {
            if (found < 0) {
                out.push_back(TreeEntry{folder, found, {}});
            }
            return;
        }
        name.back() = '\0';
        TreeEntry entry{child_path(folder, name.data()), 0, {}};
        entry.error = ffs_stat(entry.path.c_str(), &entry.info);
        out.push_back(entry);
        if (entry.error == 0 && entry.info.type == FFS_TYPE_DIR && entered.insert(entry.info.inode).second) {
            walk_folder(entry.path, out, entered);
        }
    }
}

}  // namespace

std::vector<TreeEntry> walk_tree()
{
    std::vector<TreeEntry> out;
    TreeEntry root{"/", 0, {}};
    root.error = ffs_stat("/", &root.info);
    out.push_back(root);
    if (root.error == 0) {
        std::set<int> entered{root.info.inode};
        walk_folder("/", out, entered);
    }
    return out;
}

int read_ffs_file(const std::string& path, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    const int fd = ffs_open(path.c_str(), FFS_O_READ);
    if (fd < 0) {
        return fd;
    }
    std::array<std::uint8_t, 64 * 1024> piece{};
    int r = 0;
    while ((r = ffs_read(fd, piece.data(), static_cast<int>(piece.size()))) > 0) {
        bytes.insert(bytes.end(), piece.begin(), piece.begin() + r);
        if (bytes.size() > ffs_image::kImageSize) {
            r = FFS_E_CORRUPTED;  // more than the whole area holds: a chain that repeats
            break;
        }
    }
    ffs_close(fd);
    return r < 0 ? r : 0;
}
