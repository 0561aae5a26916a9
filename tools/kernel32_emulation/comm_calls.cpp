// The communication calls other than the port's state: time-outs, the event mask and its wait,
// purge, errors and status, queue sizes, line-signal functions, modem status, properties and the
// immediate character. Each is the device control (or controls) a serial driver expects.
#include <cstring>

#include "comm_mapping.h"
#include "comm_requests.h"
#include "kernel32_controls.h"

namespace k32::detail {

BOOL Control(const std::shared_ptr<File>& file, uint32_t code, const void* input, DWORD inputSize, void* output,
             DWORD outputSize)
{
    io::Request control;
    control.kind = io::Request::Kind::DeviceControl;
    control.controlCode = code;
    const auto* bytes = static_cast<const uint8_t*>(input);
    control.input.assign(bytes, bytes + inputSize);
    control.outputLength = outputSize;
    const io::Result result = SendAndWait(file, control);
    if (!io::Succeeded(result.status)) {
        return Fail(ErrorFromStatus(result.status));
    }
    if (output != nullptr) {
        std::memcpy(output, result.output.data(), std::min<size_t>(result.output.size(), outputSize));
    }
    return TRUE;
}

std::shared_ptr<File> PortOf(HANDLE handle)
{
    std::shared_ptr<File> file = LookupAs<File>(handle);
    if (!file) {
        Fail(ERROR_INVALID_HANDLE);
    }
    return file;
}

namespace {

// The shape of most communications calls: one value read from the port, or written to it, with
// one device control. The handle must be a port and the caller's pointer not null.
enum class Way { FromPort, ToPort };

template <Way way, typename T>
BOOL OneValue(HANDLE handle, const char* call, uint32_t code, T* value)
{
    Enter();
    k32::TraceLine("%s", call);
    std::shared_ptr<File> port = PortOf(handle);
    if (!port) {
        return FALSE;
    }
    if (value == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if constexpr (way == Way::FromPort) {
        return ControlOut(port, code, *value);
    } else {
        return ControlIn(port, code, *value);
    }
}

}  // namespace

}  // namespace k32::detail

using namespace k32::detail;
using namespace k32::wire;

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
    return OneValue<Way::FromPort>(hFile, "GetCommTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts);
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return OneValue<Way::ToPort>(hFile, "SetCommTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return OneValue<Way::FromPort>(hFile, "GetCommMask", IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return OneValue<Way::ToPort>(hFile, "SetCommMask", IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    Enter();
    k32::TraceLine("WaitCommEvent");
    std::shared_ptr<File> port = PortOf(hFile);
    if (!port || lpEvtMask == nullptr) {
        return port ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
    }
    // The caller's OVERLAPPED goes with the request; without one the call waits for the event.
    k32::io::Request wait;
    wait.kind = k32::io::Request::Kind::DeviceControl;
    wait.controlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    wait.outputLength = sizeof(DWORD);
    DWORD returned = 0;
    return Issue(port, wait, lpEvtMask, sizeof(DWORD), &returned, lpOverlapped);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return OneValue<Way::ToPort>(hFile, "PurgeComm", IOCTL_SERIAL_PURGE, &dwFlags);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    Enter();
    k32::TraceLine("ClearCommError");
    std::shared_ptr<File> port = PortOf(hFile);
    SERIAL_STATUS status{};
    if (!port || !ControlOut(port, IOCTL_SERIAL_GET_COMMSTATUS, status)) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = k32::CommErrorsFromStatus(status);
    }
    if (lpStat != nullptr) {
        *lpStat = k32::ComstatFromStatus(status);
    }
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    const SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return OneValue<Way::ToPort>(hFile, "SetupComm", IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes);
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    Enter();
    k32::TraceLine("EscapeCommFunction %u", dwFunc);
    static constexpr uint32_t kRequests[] = {
        0,
        IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,
        IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS,
        IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_RESET_DEVICE,
        IOCTL_SERIAL_SET_BREAK_ON,
        IOCTL_SERIAL_SET_BREAK_OFF,
    };
    std::shared_ptr<File> port = PortOf(hFile);
    if (!port) {
        return FALSE;
    }
    // An unknown function reaches no driver.
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(port, kRequests[dwFunc], nullptr, 0);
}

BOOL SetCommBreak(HANDLE hFile)
{
    return EscapeCommFunction(hFile, SETBREAK);
}

BOOL ClearCommBreak(HANDLE hFile)
{
    return EscapeCommFunction(hFile, CLRBREAK);
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return OneValue<Way::FromPort>(hFile, "GetCommModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat);
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    static_assert(sizeof(COMMPROP) == kCommPropSize);
    return OneValue<Way::FromPort>(hFile, "GetCommProperties", IOCTL_SERIAL_GET_PROPERTIES, lpCommProp);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    return OneValue<Way::ToPort>(hFile, "TransmitCommChar", IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar);
}
