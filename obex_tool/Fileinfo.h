// The files of the handset folder the session last listed, looked up by exact name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarnik {

struct FileInfo {
    std::string name;
    std::int32_t size = 0;
    std::string user_perm;  // kept, not interpreted
};

class FileInfoList {
public:
    // Logs "FileInfoList add object FileName:%s" and appends the entry.
    void add(FileInfo entry);
    // The index of the first entry whose name equals name byte for byte, or -1.
    int getIndexByName(const std::string& name) const;
    void clear();

    std::size_t size() const { return entries_.size(); }
    const FileInfo& operator[](std::size_t index) const { return entries_[index]; }

private:
    std::vector<FileInfo> entries_;
};

}  // namespace zarnik
