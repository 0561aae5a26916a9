// The tree of a mounted FFS as the file system itself reports it (ffs_opendir, ffs_readdir,
// ffs_stat), depth first in directory order.
#pragma once

#include "ffs.h"

#include <string>
#include <vector>

struct TreeEntry {
    std::string path;  // absolute, in the stored (UTF-8) form; the root is "/"
    int error = 0;     // the FFS code that made the entry, or its folder, unreadable
    ffs_stat_info info{};
};

// Every object reachable from the root, the root first. A folder reached a second time (a
// damaged image) is listed but not entered again.
std::vector<TreeEntry> walk_tree();

// The bytes of the file at path, read through a read descriptor. 0 or a negative FFS code.
int read_ffs_file(const std::string& path, std::vector<std::uint8_t>& bytes);
