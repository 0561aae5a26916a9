// The folder-listing parser on POSIX: pugixml.
#include "Easyxml.h"

#include "Codepage.h"
#include "Strfunction.h"

#include <pugixml.hpp>

#include <cstring>

namespace zarnik {

namespace {

// UTF-8 from the parser to the system code page, through UTF-16 as everywhere else.
std::string to_codepage(const char* utf8)
{
    std::u16string units;
    for (const wchar_t c : pugi::as_wide(utf8)) {
        append_utf16(units, static_cast<char32_t>(c));
    }
    return utf16_to_codepage(units);
}

std::optional<std::string> attribute(const pugi::xml_node& node, const char* name)
{
    const pugi::xml_attribute value = node.attribute(name);
    if (!value) {
        return std::nullopt;
    }
    return to_codepage(value.value());
}

}  // namespace

bool easyxml_listing_files(const std::string& xml, std::vector<ListingFileElement>& files)
{
    files.clear();
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed || !document.document_element()) {
        return false;
    }
    for (const pugi::xml_node& top : document.children()) {
        if (top.type() != pugi::node_element || std::strcmp(top.name(), "folder-listing") != 0) {
            continue;
        }
        for (const pugi::xml_node& child : top.children()) {
            if (child.type() == pugi::node_element && std::strcmp(child.name(), "file") == 0) {
                files.push_back({attribute(child, "name"), attribute(child, "size"), attribute(child, "user-perm")});
            }
        }
    }
    return true;
}

}  // namespace zarnik
