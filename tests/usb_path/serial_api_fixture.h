// The fixture of the serial-API conformance tests: Quenta on the deterministic emulated kernel with
// one simulated handset plugged in as COM5, reached through the kernel32 layer as a Win32 program
// reaches a COM port. Nothing runs unless a call waits: then the emulated world is driven and its
// clock moves, so every time-out is exact and repeatable. Each test ends as a process does (every
// handle closed), with the handset removed and the kernel's checks.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel32_controls.h"
#include "usb_handset.h"

namespace usbpath {

// An OVERLAPPED with its own manual-reset event.
struct Overlapped : OVERLAPPED {
    Overlapped() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Done() const { return __atomic_load_n(&Internal, __ATOMIC_ACQUIRE) != 0x103; }
};

class SerialApi : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // COM5, for overlapped I/O unless asked otherwise; the test fails when it does not open.
    HANDLE Open(bool overlapped = true);
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0);
    // The handset sends these bytes in one bulk-IN transfer.
    void Deliver(const std::string& bytes);
    // The requests the driver was sent since the last call, in order ("IOCTL_SERIAL_GET_BAUD_RATE",
    // "IRP_MJ_READ"), without their completions.
    std::vector<std::string> RequestsSent();
    // Every trace line since the last call.
    std::vector<std::string> Trace() { return k32::TakeTrace(); }
    // Milliseconds on the emulated clock since the test began.
    static long long ClockMilliseconds();

    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<kemu::UsbHandset> handset_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

}  // namespace usbpath
