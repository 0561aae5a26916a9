// Working copy on Windows: a named file mapping of the temporary file. The mapping's name is the
// file's name, so a second run that picked the same name finds the mapping already there.
#include "WorkingCopyMapping.h"

#include <windows.h>

namespace brovald {

namespace {

HANDLE file = INVALID_HANDLE_VALUE;
void* view = nullptr;

DWORD high_part(std::size_t size)
{
    return static_cast<DWORD>(static_cast<unsigned long long>(size) >> 32);
}

DWORD low_part(std::size_t size)
{
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

}  // namespace

MappingResult map_working_copy(const std::string& name, std::size_t mapping_size, std::size_t /*used_size*/)
{
    // Windows allocates the whole mapped length of the file when the mapping is made, so a full
    // disk shows as a failed mapping; there is nothing to reserve beforehand.
    MappingResult result;
    ::DeleteFileA(name.c_str());
    file = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    result.file_created = file != INVALID_HANDLE_VALUE;
    // Without a file, INVALID_HANDLE_VALUE asks for a mapping backed by the paging file.
    HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, high_part(mapping_size),
                                          low_part(mapping_size), name.c_str());
    if (mapping == nullptr) {
        return result;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mapping);
        result.state = MappingState::name_in_use;
        return result;
    }
    view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    // The view keeps the mapping alive.
    ::CloseHandle(mapping);
    if (view == nullptr) {
        return result;
    }
    result.state = MappingState::mapped;
    result.view = static_cast<std::uint8_t*>(view);
    return result;
}

void unmap_working_copy(const std::string& name)
{
    if (view != nullptr) {
        ::UnmapViewOfFile(view);
        view = nullptr;
    }
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        ::DeleteFileA(name.c_str());
    }
}

}  // namespace brovald
