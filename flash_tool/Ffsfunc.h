// The glue between PC-side texts and the flash file system's paths: splitting and joining FFS
// paths, creating the folders that lead to a target file, telling whether the target exists,
// and converting names between the system code page and the UTF-8 the FFS stores.
//
// FFS paths are absolute with "/" as the separator; empty components are ignored, so "//a//b"
// and "a/b" both mean "/a/b".
#pragma once

#include "ffs.h"

#include <string>
#include <string_view>
#include <vector>

namespace brovald {

using PathList = std::vector<std::string>;

// The non-empty components of path, in order.
PathList path_components(std::string_view path);

// "/" + list[0] + "/" + list[1] ... + "/" + list[last]; the empty text when last < 0. A last
// beyond the list stops at its end.
std::string path_join(const PathList& list, int last);

// The folder part: /a/b/c.txt gives /a/b, c.txt gives the empty text, a/b gives /a.
std::string path_dir(std::string_view path);

// The last component: /a/b/c.txt gives c.txt; the empty text when there is none.
std::string path_last(std::string_view path);

// Opens or creates, level by level, every folder that leads to the last component of path
// (/a, then /a/b for /a/b/c.txt). Returns 0, or the negative FFS code of the first level that
// neither opens nor can be made; deeper levels are then not tried.
int FFS_SetPath(std::string_view path, ffs_dir& cursor);

// 1 when path's folder holds an entry of path's last name (whatever kind of object it is), 0 when
// it does not, or a negative FFS code: that of FFS_SetPath, which it calls first to make sure
// the folders exist, or of the folder's search. Names are compared byte for byte, so path must
// be in the stored form.
int checkFileExist(std::string_view path);

// Text of the system code page in UTF-8, and back.
std::string to_utf8(std::string_view text);
std::string from_utf8(std::string_view bytes);

// The one form in which a target path typed on the PC reaches the FFS: converted to UTF-8,
// split at "/", empty components dropped, joined as "/a/b/name". Empty when the text has no
// component at all (empty, or only separators).
std::string ffs_target_path(std::string_view text);

}  // namespace brovald
