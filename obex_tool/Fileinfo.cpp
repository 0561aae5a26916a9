#include "Fileinfo.h"

#include "Programlog.h"

namespace zarnik {

void FileInfoList::add(FileInfo entry)
{
    program_log("FileInfoList add object FileName:%s\n", entry.name.c_str());
    entries_.push_back(std::move(entry));
}

int FileInfoList::getIndexByName(const std::string& name) const
{
    program_log("FileInfoList getIndexByName enter FileName:%s\n", name.c_str());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name) {
            program_log("FileInfoList getIndexByName find FileName:%s\n", name.c_str());
            return static_cast<int>(i);
        }
    }
    program_log("FileInfoList getIndexByName exit\n");
    return -1;
}

void FileInfoList::clear()
{
    entries_.clear();
}

}  // namespace zarnik
