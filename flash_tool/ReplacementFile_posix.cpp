// Rewriting a file on POSIX: mkstemp beside it, then rename over it.
#include "ReplacementFilePlatform.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brovald {

namespace {

mode_t default_file_mode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string replacement_target(const std::string& target)
{
    struct stat status {};
    if (::lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(target.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return target;
}

std::FILE* create_beside(const std::string& target, std::string& temporary)
{
    struct stat status {};
    const bool exists = ::stat(target.c_str(), &status) == 0;
    // Only a regular file is replaced: a rename over a device or a folder would not write into it.
    if (exists && (!S_ISREG(status.st_mode) || ::access(target.c_str(), W_OK) != 0)) {
        return nullptr;
    }
    temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return nullptr;
    }
    if (exists) {
        // Best effort for the owner: only a privileged process may give the file away.
        (void)::fchown(fd, status.st_uid, status.st_gid);
    }
    std::FILE* stream = nullptr;
    if (::fchmod(fd, exists ? status.st_mode & 07777 : default_file_mode()) == 0) {
        stream = ::fdopen(fd, "w");
    }
    if (stream != nullptr) {
        // The writer hands over large blocks; they go to the file as they are.
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    if (stream == nullptr) {
        ::close(fd);
        ::unlink(temporary.c_str());
    }
    return stream;
}

void start_storing(std::FILE* stream)
{
#ifdef SYNC_FILE_RANGE_WRITE
    // Only a hint, as on systems without it: the bytes are in the file either way. The whole
    // file is named; the system passes over what it is already writing.
    (void)::sync_file_range(::fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)stream;
#endif
}

// The system's buffers are not waited for, as cp and mv do not wait for them; ext4 and btrfs
// start writing a file's data out when it is renamed over another.
bool sync_to_storage(std::FILE* stream)
{
    return std::fflush(stream) == 0;
}

bool replace_with(const std::string& temporary, const std::string& target)
{
    return std::rename(temporary.c_str(), target.c_str()) == 0;
}

}  // namespace brovald
