#include "trace.h"

#include <cstdarg>
#include <cstdio>

namespace flashfs {
namespace {

std::uint32_t silent_output(std::uint32_t category, const char*)
{
    return category & kTraceMask;
}

TraceOutput output_hook = silent_output;
std::uint32_t formatted = 0;

}  // namespace

void trace(std::uint32_t category, const char* format, ...)
{
    if ((category & kTraceMask) == 0)
        return;
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    ++formatted;
    output_hook(category, buffer);
}

void trace_plain(std::uint32_t category, const char* text)
{
    if ((category & kTraceMask) == 0)
        return;
    output_hook(category, text);
}

void trace_bind_output(TraceOutput output)
{
    output_hook = output ? output : silent_output;
}

std::uint32_t trace_format_count()
{
    return formatted;
}

}  // namespace flashfs
