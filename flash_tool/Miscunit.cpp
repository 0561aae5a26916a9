#include "Miscunit.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace brovald {

namespace {

std::FILE* log_stream = nullptr;

// Most messages fit the fixed buffer; a longer one is formatted again at its full length
// rather than cut.
std::string format_message(const char* format, std::va_list arguments)
{
    char buffer[1024];
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    std::string text;
    if (length < 0) {
        text = buffer;
    } else if (static_cast<std::size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<std::size_t>(length));
    } else {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}

void write_to_log(const std::string& text)
{
    if (log_stream != nullptr) {
        std::fputs(text.c_str(), log_stream);
        std::fflush(log_stream);
    }
}

}  // namespace

bool open_log(const char* file_name)
{
    close_log();
    log_stream = std::fopen(file_name, "w");
    return log_stream != nullptr;
}

void close_log()
{
    if (log_stream != nullptr) {
        std::fclose(log_stream);
        log_stream = nullptr;
    }
}

void print_console_log(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = format_message(format, arguments);
    va_end(arguments);
    std::fputs(text.c_str(), stdout);
    write_to_log(text);
    std::fflush(stdout);
}

void print_log(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = format_message(format, arguments);
    va_end(arguments);
    write_to_log(text);
}

}  // namespace brovald
