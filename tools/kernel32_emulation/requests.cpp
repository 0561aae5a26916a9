// How a handle's requests travel: each is sent through the I/O manager half, remembered until it
// comes back, and on completion copies its output to the caller's buffer and its result into the
// caller's OVERLAPPED, whose event it sets, as the I/O manager does for buffered I/O.
#include <algorithm>
#include <cstring>

#include "user_half.h"

namespace k32::detail {

namespace {

// How long a closing handle waits for the requests its cleanup cancelled before it closes anyway
// (the kernel's end-of-run checks then report any that never came back).
constexpr DWORD kCleanupDrainLimit = 10000;

void Complete(const std::shared_ptr<File>& file, const std::shared_ptr<Operation>& operation, const io::Result& result)
{
    OVERLAPPED* overlapped = operation->overlapped;
    std::shared_ptr<Event> event;
    if (overlapped != nullptr && overlapped->hEvent != nullptr) {
        event = LookupAs<Event>(overlapped->hEvent);
    }
    if (operation->output != nullptr && !result.output.empty()) {
        std::memcpy(operation->output, result.output.data(),
                    std::min<size_t>(result.output.size(), operation->outputCapacity));
    }
    // The status goes in last: once the caller sees it, the OVERLAPPED and the buffer are its own
    // again (it may free them at once), so nothing here touches them after.
    if (overlapped != nullptr) {
        overlapped->InternalHigh = result.information;
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(uint32_t(result.status)), __ATOMIC_RELEASE);
    }
    {
        const std::lock_guard lock(ObjectsMutex());
        operation->result = result;
        operation->done = true;
        if (event) {
            event->signaled = true;
        }
        auto& pending = file->pending;
        pending.erase(std::remove(pending.begin(), pending.end(), operation), pending.end());
    }
    ObjectsChanged().notify_all();
}

std::shared_ptr<Operation> Start(const std::shared_ptr<File>& file, const io::Request& request, void* output,
                                 DWORD capacity, LPOVERLAPPED overlapped, int32_t& dispatchStatus)
{
    auto operation = std::make_shared<Operation>();
    operation->issuer = std::this_thread::get_id();
    operation->output = output;
    operation->outputCapacity = capacity;
    operation->overlapped = overlapped;
    if (overlapped != nullptr) {
        overlapped->InternalHigh = 0;
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(io::kStatusPending), __ATOMIC_RELEASE);
        // The event tells of this request's end only: it is reset as the request starts.
        if (overlapped->hEvent != nullptr) {
            ResetEvent(overlapped->hEvent);
        }
    }
    {
        const std::lock_guard lock(ObjectsMutex());
        file->pending.push_back(operation);
    }
    // The request refers to the operation weakly: the handle's list and the caller hold it.
    std::weak_ptr<Operation> weak = operation;
    std::weak_ptr<File> weakFile = file;
    auto flight = io::Send(
        file->device, request,
        [weak, weakFile](const io::Result& result) {
            std::shared_ptr<Operation> self = weak.lock();
            std::shared_ptr<File> owner = weakFile.lock();
            if (self && owner) {
                Complete(owner, self, result);
            }
        },
        dispatchStatus);
    const std::lock_guard lock(ObjectsMutex());
    operation->flight = std::move(flight);
    return operation;
}

void AwaitCompletion(const Operation& operation)
{
    WaitUntil([&operation] { return operation.done; }, INFINITE);
}

io::Result ResultOf(const Operation& operation)
{
    const std::lock_guard lock(ObjectsMutex());
    return operation.result;
}

}  // namespace

BOOL Issue(const std::shared_ptr<File>& file, const io::Request& request, void* output, DWORD capacity,
           LPDWORD transferred, LPOVERLAPPED overlapped)
{
    if (transferred != nullptr) {
        *transferred = 0;
    }
    int32_t dispatchStatus = 0;
    std::shared_ptr<Operation> operation = Start(file, request, output, capacity, overlapped, dispatchStatus);
    if (overlapped != nullptr && file->overlapped && dispatchStatus == io::kStatusPending) {
        return Fail(ERROR_IO_PENDING);
    }
    // Completed inside the dispatch routine, or to be waited for.
    AwaitCompletion(*operation);
    const io::Result result = ResultOf(*operation);
    if (!io::Succeeded(result.status)) {
        return Fail(ErrorFromStatus(result.status));
    }
    if (transferred != nullptr) {
        *transferred = result.information;
    }
    return TRUE;
}

io::Result SendAndWait(const std::shared_ptr<File>& file, const io::Request& request)
{
    int32_t dispatchStatus = 0;
    std::shared_ptr<Operation> operation = Start(file, request, nullptr, 0, nullptr, dispatchStatus);
    AwaitCompletion(*operation);
    return ResultOf(*operation);
}

void CloseFile(const std::shared_ptr<File>& file)
{
    io::Request cleanup;
    cleanup.kind = io::Request::Kind::Cleanup;
    SendAndWait(file, cleanup);
    WaitUntil([&file] { return file->pending.empty(); }, io::Threaded() ? kCleanupDrainLimit : INFINITE);
    io::Request close;
    close.kind = io::Request::Kind::Close;
    SendAndWait(file, close);
}

}  // namespace k32::detail
