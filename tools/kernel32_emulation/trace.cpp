// The layer's record of what crossed it: the trace and the request counts.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

#include "kernel32_controls.h"

namespace k32 {

namespace {

struct Record {
    std::mutex mutex;
    std::atomic<bool> tracing{false};
    std::vector<std::string> lines;
    std::map<std::string, uint64_t> counts;
};

Record& TheRecord()
{
    static Record* record = new Record;  // never destroyed: threads may still report at exit
    return *record;
}

}  // namespace

void EnableTrace(bool enabled)
{
    TheRecord().tracing = enabled;
}

bool TraceEnabled()
{
    return TheRecord().tracing.load(std::memory_order_relaxed);
}

void TraceLine(const char* format, ...)
{
    if (!TraceEnabled()) {
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Record& record = TheRecord();
    const std::lock_guard lock(record.mutex);
    record.lines.emplace_back(text);
}

std::vector<std::string> TakeTrace()
{
    Record& record = TheRecord();
    const std::lock_guard lock(record.mutex);
    return std::exchange(record.lines, {});
}

void CountRequest(const std::string& kind)
{
    Record& record = TheRecord();
    const std::lock_guard lock(record.mutex);
    ++record.counts[kind];
}

std::vector<std::pair<std::string, uint64_t>> RequestCounts()
{
    Record& record = TheRecord();
    const std::lock_guard lock(record.mutex);
    return {record.counts.begin(), record.counts.end()};
}

void ClearRequestCounts()
{
    Record& record = TheRecord();
    const std::lock_guard lock(record.mutex);
    record.counts.clear();
}

}  // namespace k32
