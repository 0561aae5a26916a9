// What the Win32 calls of the layer share (its user half): the one lock and condition every
// object's state and every wait use, the handle table with its objects (events and open devices),
// the requests a handle has in flight, and the end of the process.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io_manager.h"

namespace k32::detail {

std::mutex& ObjectsMutex();
std::condition_variable& ObjectsChanged();

// Called first by every call: a thread of a process that is ending stops here for good, as
// Windows stops every thread but the one that ends the process.
void Enter();

// Waits until ready() holds (evaluated under the objects lock) or the time passes; true when it
// held. Threaded, real time passes; deterministic, the emulated world is driven (its clock moves).
bool WaitUntil(const std::function<bool()>& ready, DWORD milliseconds);

// Sets the last error and returns FALSE, for the calls that fail with it.
BOOL Fail(DWORD error);
DWORD ErrorFromStatus(int32_t status);

struct Object {
    virtual ~Object() = default;
};

struct Event final : Object {
    bool manualReset = false;
    bool signaled = false;  // under the objects lock
    std::string name;
};

// One request a handle has sent: where its output goes and, for an overlapped call, its record.
struct Operation {
    std::shared_ptr<io::InFlight> flight;
    std::thread::id issuer;
    void* output = nullptr;
    DWORD outputCapacity = 0;
    OVERLAPPED* overlapped = nullptr;
    bool done = false;  // under the objects lock
    io::Result result;
};

struct File final : Object {
    io::Device device;
    bool overlapped = false;
    std::vector<std::shared_ptr<Operation>> pending;  // under the objects lock
};

HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HANDLE handle);
std::shared_ptr<Object> Remove(HANDLE handle);
std::vector<HANDLE> EveryHandle();
template <typename T>
std::shared_ptr<T> LookupAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(Lookup(handle));
}

// Sends a request for a handle, the way ReadFile, WriteFile and DeviceIoControl do: the output (at
// most `capacity` bytes) goes to `output` when it completes. With an OVERLAPPED on an overlapped
// handle the call returns at once (FALSE and ERROR_IO_PENDING while it runs); otherwise it waits.
// STATUS_TIMEOUT, like every success status, is success with the count moved.
BOOL Issue(const std::shared_ptr<File>& file, const io::Request& request, void* output, DWORD capacity,
           LPDWORD transferred, LPOVERLAPPED overlapped);
// Sends a request and waits for its result.
io::Result SendAndWait(const std::shared_ptr<File>& file, const io::Request& request);
// Cleanup, then close once every request of the handle has come back.
void CloseFile(const std::shared_ptr<File>& file);

}  // namespace k32::detail
