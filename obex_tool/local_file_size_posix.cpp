#include "local_file_size.h"

#include <sys/stat.h>

namespace zarnik {

std::optional<std::uint64_t> regular_file_size(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace zarnik
