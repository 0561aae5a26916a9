// The file calls on a device: CreateFileA through the DOS device namespace, ReadFile and
// WriteFile (synchronous or overlapped), GetOverlappedResult, CancelIo, FlushFileBuffers and
// DeviceIoControl.
#include <strings.h>

#include "kernel32_controls.h"
#include "user_half.h"

namespace k32::detail {

namespace {

// The DOS device a file name reaches: "\\.\X" names the device X; COM1 to COM9 (with or without a
// colon) are device names of their own anywhere. This layer has no file system, so every other
// name is a file it cannot find.
std::optional<std::string> DosDeviceName(const std::string& name)
{
    if (name.rfind("\\\\.\\", 0) == 0 && name.size() > 4) {
        return name.substr(4);
    }
    std::string bare = name;
    if (!bare.empty() && bare.back() == ':') {
        bare.pop_back();
    }
    if (bare.size() == 4 && strncasecmp(bare.c_str(), "COM", 3) == 0 && bare[3] >= '1' && bare[3] <= '9') {
        return "COM" + bare.substr(3);
    }
    return std::nullopt;
}

// An offset in an OVERLAPPED: reads start at one that is not negative; writes too, or at -1
// (the end), as the I/O manager checks before a driver sees the request.
bool OffsetAllowed(const OVERLAPPED* overlapped, bool write)
{
    if (overlapped == nullptr) {
        return true;
    }
    const auto offset = static_cast<int64_t>(uint64_t(overlapped->OffsetHigh) << 32 | overlapped->Offset);
    return offset >= 0 || (write && offset == -1);
}

}  // namespace

}  // namespace k32::detail

using namespace k32::detail;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE)
{
    Enter();
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    k32::TraceLine("CreateFileA %s", lpFileName);
    const std::optional<std::string> dosName = DosDeviceName(lpFileName);
    const std::optional<k32::io::Device> device = dosName ? k32::io::FindDosDevice(*dosName) : std::nullopt;
    if (!device) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>();
    file->device = *device;
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    k32::io::Request create;
    create.kind = k32::io::Request::Kind::Create;
    const k32::io::Result result = SendAndWait(file, create);
    if (!k32::io::Succeeded(result.status)) {
        Fail(ErrorFromStatus(result.status));
        return INVALID_HANDLE_VALUE;
    }
    return Insert(file);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    Enter();
    k32::TraceLine("ReadFile %u", nNumberOfBytesToRead);
    std::shared_ptr<File> file = LookupAs<File>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((file->overlapped && lpOverlapped == nullptr) || !OffsetAllowed(lpOverlapped, false)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    k32::io::Request read;
    read.kind = k32::io::Request::Kind::Read;
    read.readLength = nNumberOfBytesToRead;
    return Issue(file, read, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    Enter();
    k32::TraceLine("WriteFile %u", nNumberOfBytesToWrite);
    std::shared_ptr<File> file = LookupAs<File>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((file->overlapped && lpOverlapped == nullptr) || !OffsetAllowed(lpOverlapped, true)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    k32::io::Request write;
    write.kind = k32::io::Request::Kind::Write;
    const auto* bytes = static_cast<const uint8_t*>(lpBuffer);
    write.input.assign(bytes, bytes + nNumberOfBytesToWrite);
    return Issue(file, write, nullptr, 0, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    Enter();
    if (!LookupAs<File>(hFile)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (lpOverlapped == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto status = [lpOverlapped] {
        return int32_t(uint32_t(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)));
    };
    if (status() == k32::io::kStatusPending) {
        if (!bWait) {
            return Fail(ERROR_IO_INCOMPLETE);
        }
        WaitUntil([&status] { return status() != k32::io::kStatusPending; }, INFINITE);
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    }
    // STATUS_TIMEOUT is a success: the request moved what it could in its time.
    return k32::io::Succeeded(status()) ? TRUE : Fail(ErrorFromStatus(status()));
}

BOOL CancelIo(HANDLE hFile)
{
    Enter();
    k32::TraceLine("CancelIo");
    std::shared_ptr<File> file = LookupAs<File>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Only the requests this thread sent on the handle, as Windows does.
    std::vector<std::shared_ptr<k32::io::InFlight>> mine;
    {
        const std::lock_guard lock(ObjectsMutex());
        for (const auto& operation : file->pending) {
            if (operation->issuer == std::this_thread::get_id() && operation->flight) {
                mine.push_back(operation->flight);
            }
        }
    }
    for (const auto& flight : mine) {
        flight->Cancel();
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    Enter();
    k32::TraceLine("FlushFileBuffers");
    std::shared_ptr<File> file = LookupAs<File>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    k32::io::Request flush;
    flush.kind = k32::io::Request::Kind::Flush;
    const k32::io::Result result = SendAndWait(file, flush);
    return k32::io::Succeeded(result.status) ? TRUE : Fail(ErrorFromStatus(result.status));
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    Enter();
    std::shared_ptr<File> file = LookupAs<File>(hDevice);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    k32::io::Request control;
    control.kind = k32::io::Request::Kind::DeviceControl;
    control.controlCode = dwIoControlCode;
    const auto* input = static_cast<const uint8_t*>(lpInBuffer);
    if (input != nullptr) {
        control.input.assign(input, input + nInBufferSize);
    }
    control.outputLength = lpOutBuffer != nullptr ? nOutBufferSize : 0;
    return Issue(file, control, lpOutBuffer, control.outputLength, lpBytesReturned, lpOverlapped);
}
