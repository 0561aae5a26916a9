// The XML parser behind the folder listing: pugixml on POSIX (Easyxml_posix.cpp), the MSXML DOM
// through COM on Windows (Easyxml_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zarnik {

// The attributes of one "file" element, in the system code page; absent ones stay empty.
struct ListingFileElement {
    std::optional<std::string> name;
    std::optional<std::string> size;
    std::optional<std::string> user_perm;
};

// Parses UTF-8 XML text and collects, in document order, the "file" children of every
// top-level "folder-listing" element (names compared exactly). False when the text is not
// well-formed; files then stays empty.
bool easyxml_listing_files(const std::string& xml, std::vector<ListingFileElement>& files);

}  // namespace zarnik
