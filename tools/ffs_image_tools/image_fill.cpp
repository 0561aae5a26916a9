#include "image_fill.h"

#include "Ffsfunc.h"
#include "ImageGeometry.h"
#include "ErrorNames.h"
#include "PcFile.h"
#include "ffs.h"

#include <algorithm>
#include <filesystem>
#include <vector>

using namespace brovald;

namespace fs = std::filesystem;

namespace {

int store_file(const std::string& ffs_path, const std::vector<std::uint8_t>& bytes)
{
    const int fd = ffs_open(ffs_path.c_str(), FFS_O_WRITE | FFS_O_CREATE | FFS_O_TRUNC);
    if (fd < 0) {
        return fd;
    }
    static const std::uint8_t no_bytes = 0;
    const int written = ffs_write_b(fd, bytes.empty() ? &no_bytes : bytes.data(), static_cast<int>(bytes.size()));
    const int closed = ffs_close(fd);
    return written < 0 ? written : closed;
}

int fill(const fs::path& folder, const std::string& ffs_folder, std::string& problem)
{
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        problem = folder.string() + ": " + error.message();
        return FFS_E_NOTFOUND;
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries) {
        const std::string ffs_path = (ffs_folder == "/" ? "" : ffs_folder) + "/" + to_utf8(entry.filename().string());
        int r = 0;
        if (fs::is_directory(entry, error)) {
            r = ffs_mkdir(ffs_path.c_str());
            if (r >= 0) {
                r = fill(entry, ffs_path, problem);
                if (r < 0) {
                    return r;
                }
            }
        } else {
            std::vector<std::uint8_t> bytes;
            // More than the image holds never fits: the FFS refuses it for lack of space.
            r = load_pc_file(entry.string(), bytes, std::size_t{image_size} + 1) ? store_file(ffs_path, bytes)
                                                                                 : FFS_E_NOTFOUND;
        }
        if (r < 0) {
            problem = entry.string() + ": " + ffs_error_name(r);
            return r;
        }
    }
    return 0;
}

}  // namespace

int fill_from_folder(const std::string& folder, std::string& problem)
{
    return fill(fs::path(folder), "/", problem);
}
