#include "Miscunit.h"

#include "Programlog.h"

#include <cstdarg>
#include <cstdio>

namespace zarnik {

namespace {

std::string::size_type last_separator(const std::string& target)
{
    return target.find_last_of("\\/");
}

}  // namespace

void printMessage(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::printf("%s", buffer);
    std::fflush(stdout);
}

void getPath(std::string& out, const std::string& target)
{
    const auto i = last_separator(target);
    if (i == std::string::npos) {
        out.clear();
        return;
    }
    out = target.substr(0, i + 1);
    program_log("getPath fullFileName:%s path:%s  i:%d\n", target.c_str(), out.c_str(), static_cast<int>(i));
}

void getFileName(std::string& out, const std::string& target)
{
    const auto i = last_separator(target);
    if (i == std::string::npos) {
        out.clear();
        return;
    }
    out = target.substr(i + 1);
    program_log("getFileName fullFileName:%s fileName:%s\n", target.c_str(), out.c_str());
}

}  // namespace zarnik
