// Events, the waits on them, Sleep and the tick count. The waitable objects are events; a wait on
// any other handle fails with ERROR_INVALID_HANDLE.
#include <chrono>
#include <map>

#include "kernel32_controls.h"
#include "user_half.h"

namespace k32::detail {

namespace {

// Named events, so that a second CreateEventA of a name reaches the same event.
std::map<std::string, std::weak_ptr<Event>>& NamedEvents()
{
    static auto* named = new std::map<std::string, std::weak_ptr<Event>>;
    return *named;
}

// Takes a satisfied wait's due: an auto-reset event is reset by the wait it ends.
void Consume(Event& event)
{
    if (!event.manualReset) {
        event.signaled = false;
    }
}

}  // namespace

bool WaitUntil(const std::function<bool()>& ready, DWORD milliseconds)
{
    bool held;
    if (io::Threaded()) {
        std::unique_lock lock(ObjectsMutex());
        if (milliseconds == INFINITE) {
            ObjectsChanged().wait(lock, ready);
            held = true;
        } else {
            held = ObjectsChanged().wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        }
    } else {
        const std::optional<uint32_t> limit =
            milliseconds == INFINITE ? std::nullopt : std::optional<uint32_t>(milliseconds);
        held = io::DriveWorld(
            [&ready] {
                const std::lock_guard lock(ObjectsMutex());
                return ready();
            },
            limit);
    }
    // The process may have begun to end while this thread waited.
    Enter();
    return held;
}

}  // namespace k32::detail

using namespace k32::detail;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    Enter();
    std::shared_ptr<Event> event;
    const std::lock_guard lock(ObjectsMutex());
    if (lpName != nullptr) {
        event = NamedEvents()[lpName].lock();
    }
    if (event) {
        SetLastError(ERROR_ALREADY_EXISTS);
    } else {
        event = std::make_shared<Event>();
        event->manualReset = bManualReset != FALSE;
        event->signaled = bInitialState != FALSE;
        if (lpName != nullptr) {
            event->name = lpName;
            NamedEvents()[lpName] = event;
        }
        SetLastError(ERROR_SUCCESS);
    }
    return Insert(event);
}

BOOL SetEvent(HANDLE hEvent)
{
    Enter();
    std::shared_ptr<Event> event = LookupAs<Event>(hEvent);
    if (!event) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    {
        const std::lock_guard lock(ObjectsMutex());
        event->signaled = true;
    }
    ObjectsChanged().notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    Enter();
    std::shared_ptr<Event> event = LookupAs<Event>(hEvent);
    if (!event) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const std::lock_guard lock(ObjectsMutex());
    event->signaled = false;
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    Enter();
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        events.push_back(LookupAs<Event>(lpHandles[i]));
        if (!events.back()) {
            Fail(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    DWORD which = 0;
    auto ready = [&] {
        if (bWaitAll) {
            for (const auto& event : events) {
                if (!event->signaled) {
                    return false;
                }
            }
            for (const auto& event : events) {
                Consume(*event);
            }
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (events[i]->signaled) {
                Consume(*events[i]);
                which = i;
                return true;
            }
        }
        return false;
    };
    return WaitUntil(ready, dwMilliseconds) ? WAIT_OBJECT_0 + which : WAIT_TIMEOUT;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void Sleep(DWORD dwMilliseconds)
{
    Enter();
    if (k32::io::Threaded()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
        Enter();
    } else {
        WaitUntil([] { return false; }, dwMilliseconds);
    }
}

DWORD GetTickCount()
{
    Enter();
    return static_cast<DWORD>(k32::io::ClockMilliseconds());
}
