// GetCommState and SetCommState: four settings read, or written with the line-signal requests,
// in the order chosen by SetCommStateOrder.
#include <atomic>

#include "comm_mapping.h"
#include "comm_requests.h"
#include "kernel32_controls.h"

namespace k32 {

namespace {

std::atomic<CommStateOrder> commStateOrder{CommStateOrder::RealWindows};

using namespace wire;

bool ReadSettings(const std::shared_ptr<detail::File>& port, CommSettings& settings)
{
    using detail::ControlOut;
    if (!ControlOut(port, IOCTL_SERIAL_GET_BAUD_RATE, settings.baud) ||
        !ControlOut(port, IOCTL_SERIAL_GET_LINE_CONTROL, settings.line)) {
        return false;
    }
    if (GetCommStateOrder() == CommStateOrder::RealWindows) {
        return ControlOut(port, IOCTL_SERIAL_GET_CHARS, settings.chars) &&
               ControlOut(port, IOCTL_SERIAL_GET_HANDFLOW, settings.handflow);
    }
    return ControlOut(port, IOCTL_SERIAL_GET_HANDFLOW, settings.handflow) &&
           ControlOut(port, IOCTL_SERIAL_GET_CHARS, settings.chars);
}

// Puts back what SetCommState read before it began, when one of its requests was refused: the
// port then keeps the settings it had rather than half of the new ones. The refusal's error stays
// the call's.
void RollBack(const std::shared_ptr<detail::File>& port, const CommSettings& before)
{
    const DWORD error = GetLastError();
    using detail::ControlIn;
    ControlIn(port, IOCTL_SERIAL_SET_BAUD_RATE, before.baud);
    ControlIn(port, IOCTL_SERIAL_SET_LINE_CONTROL, before.line);
    ControlIn(port, IOCTL_SERIAL_SET_CHARS, before.chars);
    ControlIn(port, IOCTL_SERIAL_SET_HANDFLOW, before.handflow);
    SetLastError(error);
}

BOOL WriteSettingsAsWindows(const std::shared_ptr<detail::File>& port, const DCB& dcb, const CommSettings& settings)
{
    using detail::Control;
    using detail::ControlIn;
    CommSettings before;
    if (!ReadSettings(port, before)) {
        return FALSE;
    }
    const std::optional<uint32_t> rts = RtsRequest(dcb);
    const std::optional<uint32_t> dtr = DtrRequest(dcb);
    const bool written = ControlIn(port, IOCTL_SERIAL_SET_BAUD_RATE, settings.baud) &&
                         (!rts || Control(port, *rts, nullptr, 0)) && (!dtr || Control(port, *dtr, nullptr, 0)) &&
                         ControlIn(port, IOCTL_SERIAL_SET_LINE_CONTROL, settings.line) &&
                         ControlIn(port, IOCTL_SERIAL_SET_CHARS, settings.chars) &&
                         ControlIn(port, IOCTL_SERIAL_SET_HANDFLOW, settings.handflow);
    if (!written) {
        RollBack(port, before);
    }
    return written ? TRUE : FALSE;
}

BOOL WriteSettingsAsWine(const std::shared_ptr<detail::File>& port, const CommSettings& settings)
{
    using detail::ControlIn;
    return ControlIn(port, IOCTL_SERIAL_SET_BAUD_RATE, settings.baud) &&
                   ControlIn(port, IOCTL_SERIAL_SET_LINE_CONTROL, settings.line) &&
                   ControlIn(port, IOCTL_SERIAL_SET_HANDFLOW, settings.handflow) &&
                   ControlIn(port, IOCTL_SERIAL_SET_CHARS, settings.chars)
               ? TRUE
               : FALSE;
}

}  // namespace

void SetCommStateOrder(CommStateOrder order)
{
    commStateOrder = order;
}

CommStateOrder GetCommStateOrder()
{
    return commStateOrder;
}

}  // namespace k32

using namespace k32::detail;

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    Enter();
    k32::TraceLine("GetCommState");
    std::shared_ptr<File> port = PortOf(hFile);
    if (!port) {
        return FALSE;
    }
    if (lpDCB == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    k32::CommSettings settings;
    if (!k32::ReadSettings(port, settings)) {
        return FALSE;
    }
    *lpDCB = k32::DcbFromSettings(settings);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    Enter();
    k32::TraceLine("SetCommState");
    std::shared_ptr<File> port = PortOf(hFile);
    if (!port) {
        return FALSE;
    }
    // A value no request can carry is refused before the driver sees anything.
    const std::optional<k32::CommSettings> settings = lpDCB ? k32::SettingsFromDcb(*lpDCB) : std::nullopt;
    if (!settings) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (k32::GetCommStateOrder() == k32::CommStateOrder::RealWindows) {
        return k32::WriteSettingsAsWindows(port, *lpDCB, *settings);
    }
    return k32::WriteSettingsAsWine(port, *settings);
}
