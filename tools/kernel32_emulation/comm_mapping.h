// The conversions between what a Win32 program hands kernel32 and what travels to a serial
// driver: a DCB and the four settings structures, the DCB's line-signal controls and their
// requests, and SERIAL_STATUS as ClearCommError's error bits and COMSTAT.
#pragma once

#include <windows.h>

#include <optional>

#include "serial_wire.h"

namespace k32 {

struct CommSettings {
    wire::SERIAL_BAUD_RATE baud{};
    wire::SERIAL_LINE_CONTROL line{};
    wire::SERIAL_CHARS chars{};
    wire::SERIAL_HANDFLOW handflow{};
};

// GetCommState's DCB: every field from the settings; fBinary always 1 and fParity always 0, as
// Windows reports them.
DCB DcbFromSettings(const CommSettings& settings);
// SetCommState's settings; none when the DCB holds a value no request can carry (an fDtrControl
// of 3). The break character goes as 0.
std::optional<CommSettings> SettingsFromDcb(const DCB& dcb);

// The request SetCommState sends for the DCB's RTS and DTR controls, in the order seen on
// Windows; none for handshake, where the driver drives the line itself.
std::optional<uint32_t> RtsRequest(const DCB& dcb);
std::optional<uint32_t> DtrRequest(const DCB& dcb);

// ClearCommError's answer from the driver's status. Errors and hold reasons without a Win32 bit
// are dropped.
DWORD CommErrorsFromStatus(const wire::SERIAL_STATUS& status);
COMSTAT ComstatFromStatus(const wire::SERIAL_STATUS& status);

}  // namespace k32
