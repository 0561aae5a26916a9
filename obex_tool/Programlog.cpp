#include "Programlog.h"

#include <cstdarg>
#include <cstdio>

namespace zarnik {

namespace {

std::FILE*& log_stream()
{
    static std::FILE* stream = nullptr;
    return stream;
}

}  // namespace

bool program_log_open()
{
    program_log_close();
    log_stream() = std::fopen("Zarnik.log", "w+");
    return log_stream() != nullptr;
}

void program_log_close()
{
    if (log_stream() != nullptr) {
        std::fclose(log_stream());
        log_stream() = nullptr;
    }
}

void program_log(const char* format, ...)
{
    if (log_stream() == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log_stream(), format, args);
    va_end(args);
}

void program_log_flush()
{
    if (log_stream() != nullptr) {
        std::fflush(log_stream());
    }
}

}  // namespace zarnik
