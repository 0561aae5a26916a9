// What the relay does with its two handles: the handset's serial port and the test USB bus's
// control device. Every call is overlapped and waited for, so the relay's two pumps can each
// keep a request pending on the same handle.
#pragma once

#include <windows.h>

#include <string>

namespace wine_kernel_harness {

// One overlapped request, waited for: false (with GetLastError set) when it failed.
bool control(HANDLE handle, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD& returned);
bool read_some(HANDLE handle, void* buffer, DWORD length, DWORD& read);
bool write_all(HANDLE handle, const void* buffer, DWORD length);

// Opens the serial port "\\.\<name>" at 115200 8N1, raw, with reads that wait for a first byte
// and return what arrived with it. INVALID_HANDLE_VALUE on failure.
HANDLE open_handset_port(const std::string& name);

// Opens the bus's control device, waiting up to `seconds` for the bus driver to come up.
HANDLE open_bus(int seconds);

// Plugs in a handset with this instance number, retrying while the bus is not ready or still
// removing an earlier handset of that instance. False when it never succeeds within `seconds`.
bool plug(HANDLE bus, ULONG instance, int seconds);

// The symbolic link target of a DOS device name ("COM5"), empty when there is none.
std::string dos_device_target(const std::string& name);

// Makes "PortName" of the handset's device key the given name, so that the port driver names
// the port so when it starts (the INF keeps a name already there).
bool set_port_name(ULONG instance, const std::string& port_name);

}  // namespace wine_kernel_harness
