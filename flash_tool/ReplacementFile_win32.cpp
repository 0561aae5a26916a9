// Rewriting a file on Windows: a text-mode file beside it, flushed to disk, then ReplaceFileA,
// which keeps the replaced file's security and attributes.
#include "ReplacementFilePlatform.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>

namespace brovald {

namespace {

// ReplaceFileA is handed full paths: Wine refuses relative ones.
std::string full_path(const std::string& path)
{
    char full[MAX_PATH];
    const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

}  // namespace

std::string replacement_target(const std::string& target)
{
    return target;
}

std::FILE* create_beside(const std::string& target, std::string& temporary)
{
    const DWORD attributes = ::GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return nullptr;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temporary = target + ".~" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(attempt);
        const int fd = ::_open(temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            std::FILE* stream = ::_fdopen(fd, "wt");
            if (stream == nullptr) {
                ::_close(fd);
                ::DeleteFileA(temporary.c_str());
            }
            return stream;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

// Windows starts writing a file's cached data out by itself; commit's flush waits for the rest.
void start_storing(std::FILE* /*stream*/) {}

bool sync_to_storage(std::FILE* stream)
{
    return std::fflush(stream) == 0 && ::_commit(::_fileno(stream)) == 0;
}

bool replace_with(const std::string& temporary, const std::string& target)
{
    const DWORD attributes = ::GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (::ReplaceFileA(full_path(target).c_str(), full_path(temporary).c_str(), nullptr,
                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) == 0) {
        return false;
    }
    // Windows carries the attributes over itself; Wine does not.
    ::SetFileAttributesA(target.c_str(), attributes);
    return true;
}

}  // namespace brovald
