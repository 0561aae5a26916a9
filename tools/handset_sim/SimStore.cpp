#include "SimStore.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace handset_sim {

namespace {

std::string xml_escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

bool SimStore::acceptable(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

std::filesystem::path SimStore::folder() const
{
    std::filesystem::path path = root_;
    for (const std::string& part : current_) {
        path /= part;
    }
    return path;
}

bool SimStore::to_parent()
{
    if (current_.empty()) {
        return false;
    }
    current_.pop_back();
    return true;
}

bool SimStore::to_child(const std::string& name, bool create)
{
    if (!acceptable(name)) {
        return false;
    }
    std::error_code ec;
    const std::filesystem::path child = folder() / name;
    if (!std::filesystem::is_directory(child, ec)) {
        if (!create || !std::filesystem::create_directory(child, ec)) {
            return false;
        }
    }
    current_.push_back(name);
    return true;
}

bool SimStore::exists(const std::string& name) const
{
    std::error_code ec;
    return acceptable(name) && std::filesystem::is_regular_file(folder() / name, ec);
}

bool SimStore::remove(const std::string& name)
{
    std::error_code ec;
    return exists(name) && std::filesystem::remove(folder() / name, ec);
}

bool SimStore::store(const std::string& name, const std::vector<std::uint8_t>& data)
{
    if (!acceptable(name)) {
        return false;
    }
    std::ofstream out(folder() / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::string SimStore::listing(ListingStyle style) const
{
    std::vector<std::string> folders;
    std::vector<std::pair<std::string, std::uintmax_t>> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder(), ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(ec)) {
            folders.push_back(name);
        } else if (entry.is_regular_file(ec)) {
            files.emplace_back(name, entry.file_size(ec));
        }
    }
    std::sort(folders.begin(), folders.end());
    std::sort(files.begin(), files.end());
    std::string xml;
    if (style != ListingStyle::Bare) {
        xml += "<?xml version=\"1.0\"?>\n";
        xml += "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n";
    }
    if (style == ListingStyle::Full) {
        xml += "<folder-listing version=\"1.0\">\n";
    }
    if (!current_.empty()) {
        xml += "  <parent-folder/>\n";
    }
    for (const std::string& name : folders) {
        xml += "  <folder name=\"" + xml_escaped(name) + "\"/>\n";
    }
    for (const auto& [name, size] : files) {
        xml += "  <file name=\"" + xml_escaped(name) + "\" size=\"" + std::to_string(size) + "\" user-perm=\"RWD\"/>\n";
    }
    xml += "</folder-listing>\n";
    return xml;
}

}  // namespace handset_sim
