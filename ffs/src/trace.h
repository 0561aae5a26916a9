// The trace channel of the FFS: one formatted call with a category. A category outside the
// mask returns before any formatting, so disabled traces cost a test and a call. The output
// hook shows nothing in the product; tests may bind one to see the lines.
#pragma once

#include <cstdint>

namespace flashfs {

inline constexpr std::uint32_t kTraceMask = 0x80000001;

// Categories.
inline constexpr std::uint32_t TR_API = 0x10;
inline constexpr std::uint32_t TR_BYTE_WRITE = 0x20;
inline constexpr std::uint32_t TR_DRIVER = 0x80;
inline constexpr std::uint32_t TR_MOUNT = 0x100;
inline constexpr std::uint32_t TR_FSCK = 0x200;
inline constexpr std::uint32_t TR_CREATE = 0x1000;
inline constexpr std::uint32_t TR_LOOKUP = 0x2000;
inline constexpr std::uint32_t TR_ALLOC = 0x4000;
inline constexpr std::uint32_t TR_RECLAIM = 0x20000;
inline constexpr std::uint32_t TR_FAULT = 0x80000000;

void trace(std::uint32_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_plain(std::uint32_t category, const char* text);

// The output hook receives the formatted text and returns category AND mask.
using TraceOutput = std::uint32_t (*)(std::uint32_t category, const char* text);
void trace_bind_output(TraceOutput output);  // nullptr: the silent default
std::uint32_t trace_format_count();          // how many messages were formatted so far

}  // namespace flashfs
