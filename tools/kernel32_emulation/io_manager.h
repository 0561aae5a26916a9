// The kernel half of the layer: what the I/O manager and the object manager do for kernel32 on
// the emulated kernel. A DOS device name is looked up through the \DosDevices links to the device
// object at the top of its stack; requests go to that device as IRPs from an application
// (buffered I/O: the data travel in the request's system buffer) and report their completion.
// Its interface uses no Win32 and no kernel types, so the two halves never share a header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace k32::io {

// The statuses the user half acts on (NTSTATUS values).
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusTimeout = 0x102;
constexpr int32_t kStatusPending = 0x103;
constexpr int32_t kStatusCancelled = static_cast<int32_t>(0xC0000120u);
constexpr int32_t kStatusObjectNameNotFound = static_cast<int32_t>(0xC0000034u);

inline bool Succeeded(int32_t status)
{
    return status >= 0;
}

struct Device {
    void* object = nullptr;  // the device object requests are sent to
};

// The device a DOS device name ("COM5") reaches through its \DosDevices link, compared without
// regard to case as the object manager does; none when there is no such link or device.
std::optional<Device> FindDosDevice(const std::string& dosName);

struct Request {
    enum class Kind { Create, Cleanup, Close, Read, Write, Flush, DeviceControl };
    Kind kind = Kind::Read;
    uint32_t readLength = 0;     // Read
    std::vector<uint8_t> input;  // Write: the data; DeviceControl: the input buffer
    uint32_t controlCode = 0;    // DeviceControl
    uint32_t outputLength = 0;   // DeviceControl
};

struct Result {
    int32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> output;  // Read and DeviceControl: the first `information` bytes of the buffer
};

// One request sent and not yet given back.
class InFlight {
public:
    virtual ~InFlight() = default;
    virtual void Cancel() = 0;
};

// Sends the request at passive level on the calling thread. `done` is called once with the result,
// on whichever thread completes it (possibly before Send returns). dispatchStatus is what the
// dispatch routine returned: kStatusPending when the result may come later.
std::shared_ptr<InFlight> Send(Device device, const Request& request, std::function<void(const Result&)> done,
                               int32_t& dispatchStatus);

// The emulated kernel's clock in milliseconds.
uint64_t ClockMilliseconds();
// Whether the emulated kernel runs its own threads (the clock following real time).
bool Threaded();
// Deterministic mode only: drives the emulated world (DPCs, deferred work, its clock) until done()
// holds (true) or `milliseconds` have passed on its clock (false); without a limit, a wait that
// nothing left could end ends the program as the emulation does.
bool DriveWorld(const std::function<bool()>& done, std::optional<uint32_t> milliseconds);

}  // namespace k32::io
