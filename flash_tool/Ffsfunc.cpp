#include "Ffsfunc.h"

#include "Codepage.h"
#include "Strfunction.h"

#include <algorithm>
#include <array>

namespace brovald {

PathList path_components(std::string_view path)
{
    PathList list;
    text_split(path, "/", list, "");
    return list;
}

std::string path_join(const PathList& list, int last)
{
    std::string path;
    const int end = std::min(last + 1, static_cast<int>(list.size()));
    for (int i = 0; i < end; ++i) {
        path += '/';
        path += list[static_cast<std::size_t>(i)];
    }
    return path;
}

std::string path_dir(std::string_view path)
{
    const PathList list = path_components(path);
    return path_join(list, static_cast<int>(list.size()) - 2);
}

std::string path_last(std::string_view path)
{
    const PathList list = path_components(path);
    return list.empty() ? std::string() : list.back();
}

int FFS_SetPath(std::string_view path, ffs_dir& cursor)
{
    const PathList folders = path_components(path_dir(path));
    for (int i = 0; i < static_cast<int>(folders.size()); ++i) {
        const std::string prefix = path_join(folders, i);
        if (ffs_opendir(prefix.c_str(), &cursor) < 0) {
            const int made = ffs_mkdir(prefix.c_str());
            if (made < 0) {
                return made;
            }
        }
    }
    return 0;
}

int checkFileExist(std::string_view path)
{
    const std::string name = path_last(path);
    if (name.empty()) {
        return FFS_E_BADNAME;
    }
    ffs_dir cursor{};
    if (const int r = FFS_SetPath(path, cursor); r < 0) {
        return r;
    }
    // A target in the root has no folder part: the root itself is searched.
    const std::string folder = path_dir(path);
    const int entries = ffs_opendir(folder.empty() ? "/" : folder.c_str(), &cursor);
    if (entries < 0) {
        return entries;
    }
    // A name longer than a stored one can be is cut to the buffer and still ends in a NUL.
    std::array<char, 1024> entry{};
    for (int seen = 0; seen < entries; ++seen) {
        const int found = ffs_readdir(&cursor, entry.data(), static_cast<int>(entry.size()));
        if (found <= 0) {
            return found;
        }
        entry.back() = '\0';
        if (name == entry.data()) {
            return 1;
        }
    }
    return 0;
}

std::string to_utf8(std::string_view text)
{
    return utf16_to_utf8(codepage_to_utf16(text));
}

std::string from_utf8(std::string_view bytes)
{
    return utf16_to_codepage(utf8_to_utf16(bytes));
}

std::string ffs_target_path(std::string_view text)
{
    const PathList list = path_components(to_utf8(text));
    return path_join(list, static_cast<int>(list.size()) - 1);
}

}  // namespace brovald
