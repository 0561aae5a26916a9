#include "local_file_size.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace zarnik {

std::optional<std::uint64_t> regular_file_size(const std::string& path)
{
    // The 64-bit form: the plain one cannot describe a file of 2 GiB or more.
    struct _stati64 status {};
    if (_stati64(path.c_str(), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || status.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace zarnik
