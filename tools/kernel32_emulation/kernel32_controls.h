// What a test or a program running over the kernel32 layer controls besides the Win32 calls: the
// order of SetCommState's requests, the end of the process, and what the layer records (a trace
// of what crossed the layers, and counts of the requests sent to drivers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace k32 {

// Which order GetCommState and SetCommState send their requests in. RealWindows: the read-back of
// the four settings, then baud rate, RTS, DTR, line control, characters, handflow (the order seen
// on Windows). Wine: baud rate, line control, handflow, characters, with no read-back and no line
// requests (the order of Wine and ReactOS). A driver must not care.
enum class CommStateOrder { RealWindows, Wine };
void SetCommStateOrder(CommStateOrder order);
CommStateOrder GetCommStateOrder();

// Closes every handle still open, as Windows does when a process ends: each port gets its
// cleanup and close requests. A test calls it before the kernel's end-of-test checks.
void CloseEveryHandle();

// How the process ends (ExitProcess, and a program's own end): every other thread is stopped at
// its next call into this layer and never returns from it, then `end` runs on the exiting thread
// with the exit code; it must not return. By default it closes every handle and exits.
void SetProcessEnd(std::function<void(unsigned)> end);
[[noreturn]] void EndProcess(unsigned code);

// The trace: one line per kernel32 call, per request sent to a driver ("IRP_MJ_WRITE 5012") and
// per completion ("IRP_MJ_WRITE done STATUS_SUCCESS 5012"), and what other parts add. Off until
// enabled; lines are taken out in the order they were made.
void EnableTrace(bool enabled);
bool TraceEnabled();
void TraceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::vector<std::string> TakeTrace();

// Requests sent to drivers, by kind ("IRP_MJ_READ", "IOCTL_SERIAL_WAIT_ON_MASK"), always counted.
void CountRequest(const std::string& kind);
std::vector<std::pair<std::string, uint64_t>> RequestCounts();  // sorted by kind
void ClearRequestCounts();

}  // namespace k32
