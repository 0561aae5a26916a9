#include "relay_io.h"

#include "test_usb_bus_control.h"

#include <cstdio>

namespace wine_kernel_harness {
namespace {

bool finish(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD& transferred)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != FALSE;
}

struct Overlapped {
    OVERLAPPED value{};
    Overlapped() { value.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(value.hEvent); }
};

}  // namespace

bool control(HANDLE handle, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD& returned)
{
    Overlapped overlapped;
    returned = 0;
    const BOOL started =
        DeviceIoControl(handle, code, const_cast<void*>(in), in_length, out, out_length, nullptr, &overlapped.value);
    return finish(handle, overlapped.value, started, returned);
}

bool read_some(HANDLE handle, void* buffer, DWORD length, DWORD& read)
{
    Overlapped overlapped;
    read = 0;
    return finish(handle, overlapped.value, ReadFile(handle, buffer, length, nullptr, &overlapped.value), read);
}

bool write_all(HANDLE handle, const void* buffer, DWORD length)
{
    const char* bytes = static_cast<const char*>(buffer);
    while (length > 0) {
        Overlapped overlapped;
        DWORD written = 0;
        if (!finish(handle, overlapped.value, WriteFile(handle, bytes, length, nullptr, &overlapped.value), written) ||
            written == 0) {
            return false;
        }
        bytes += written;
        length -= written;
    }
    return true;
}

HANDLE open_handset_port(const std::string& name)
{
    const std::string path = "\\\\.\\" + name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return port;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    // Wait for the first byte, then return what came with it. (Wine does not end a read on a
    // pseudo-terminal at the first byte when asked to with MAXDWORD interval and multiplier.)
    timeouts.ReadIntervalTimeout = 1;
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

HANDLE open_bus(int seconds)
{
    for (int tries = seconds * 20;; --tries) {
        HANDLE bus = CreateFileA(TEST_USB_BUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
        if (bus != INVALID_HANDLE_VALUE || tries <= 0) {
            return bus;
        }
        Sleep(50);
    }
}

bool plug(HANDLE bus, ULONG instance, int seconds)
{
    const TestUsbBusPlug request{instance};
    for (int tries = seconds * 20;; --tries) {
        DWORD returned;
        if (control(bus, IOCTL_TEST_USB_BUS_PLUG, &request, sizeof request, nullptr, 0, returned)) {
            return true;
        }
        const DWORD error = GetLastError();
        // Not ready yet, or plug and play still removing the last handset of this instance.
        const bool retry = error == ERROR_NOT_READY || error == ERROR_BUSY;
        if (!retry || tries <= 0) {
            return false;
        }
        Sleep(50);
    }
}

std::string dos_device_target(const std::string& name)
{
    char target[512];
    const DWORD length = QueryDosDeviceA(name.c_str(), target, sizeof target);
    return length ? std::string(target) : std::string();
}

bool set_port_name(ULONG instance, const std::string& port_name)
{
    // The device's key may not exist yet: made here, it needs the device's class (the INF's,
    // Ports), or Wine's setup takes the key for no device at all and never installs one.
    const std::string instance_path =
        "System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\" + std::to_string(instance);
    const char ports_class[] = "{4d36e978-e325-11ce-bfc1-08002be10318}";
    HKEY instance_key, parameters;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, instance_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &instance_key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG status = RegSetValueExA(instance_key, "ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(ports_class),
                                 sizeof ports_class);
    if (status == ERROR_SUCCESS) {
        status = RegCreateKeyExA(instance_key, "Device Parameters", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &parameters,
                                 nullptr);
    }
    RegCloseKey(instance_key);
    if (status != ERROR_SUCCESS) {
        return false;
    }
    status = RegSetValueExA(parameters, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port_name.c_str()),
                            static_cast<DWORD>(port_name.size() + 1));
    RegCloseKey(parameters);
    return status == ERROR_SUCCESS;
}

}  // namespace wine_kernel_harness
