// The COM-port device on Windows: the port opened for overlapped I/O, with one OVERLAPPED
// record (and its own event) each for the event wait, the reads and the writes, and a stop
// event that ends every wait of the listener.
#include "ComportDevice.h"

#include <windows.h>

#include <cstdio>

namespace zarnik {

namespace {

class Win32SerialDevice final : public SerialDevice {
public:
    explicit Win32SerialDevice(HANDLE port) : port_(port)
    {
        wait_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        read_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        write_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    ~Win32SerialDevice() override
    {
        CloseHandle(port_);
        for (HANDLE h : {wait_ov_.hEvent, read_ov_.hEvent, write_ov_.hEvent, stop_event_}) {
            if (h != nullptr) {
                CloseHandle(h);
            }
        }
    }

    bool events_created() const { return wait_ov_.hEvent && read_ov_.hEvent && write_ov_.hEvent && stop_event_; }

    Wait wait_event() override
    {
        if (stopped()) {
            return Wait::Stopped;
        }
        DWORD mask = 0;
        if (!WaitCommEvent(port_, &mask, &wait_ov_)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                // A driver refuses a wait on the empty mask that stop() sets: that is the stop.
                return stopped() ? Wait::Stopped : Wait::Failed;
            }
            if (!await(wait_ov_)) {
                return Wait::Stopped;
            }
            // However the wait ended, the one-byte read that follows is what really blocks.
            DWORD ignored = 0;
            GetOverlappedResult(port_, &wait_ov_, &ignored, FALSE);
        }
        return Wait::Event;
    }

    Read read_byte(std::uint8_t& byte) override
    {
        if (stopped()) {
            return Read::Stopped;
        }
        DWORD count = 0;
        if (ReadFile(port_, &read_byte_, 1, &count, &read_ov_)) {
            byte = read_byte_;
            return count == 1 ? Read::Byte : Read::Empty;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return stopped() ? Read::Stopped : Read::Failed;
        }
        if (!await(read_ov_)) {
            return Read::Stopped;
        }
        if (!GetOverlappedResult(port_, &read_ov_, &count, FALSE)) {
            return Read::EmptyAfterError;
        }
        byte = read_byte_;
        return count == 1 ? Read::Byte : Read::Empty;
    }

    long write(const std::uint8_t* bytes, std::size_t length, unsigned long& error) override
    {
        DWORD written = 0;
        if (!WriteFile(port_, bytes, static_cast<DWORD>(length), &written, &write_ov_)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port_, &write_ov_, &written, TRUE)) {
                error = GetLastError();
                return -1;
            }
        }
        return static_cast<long>(written);
    }

    void purge() override { PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }

    void stop() override
    {
        SetEvent(stop_event_);
        // An empty mask completes a pending event wait, which cancelling does not do everywhere.
        SetCommMask(port_, 0);
        PurgeComm(port_, PURGE_RXABORT);
    }

private:
    bool stopped() const { return WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0; }

    // Waits for a pending operation or the stop event. On stop the operation is cancelled and
    // given a bounded time to end, because it still refers to this object's records.
    bool await(OVERLAPPED& ov)
    {
        const HANDLE handles[2] = {ov.hEvent, stop_event_};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
            return true;
        }
        CancelIo(port_);
        WaitForSingleObject(ov.hEvent, 1000);
        return false;
    }

    HANDLE port_;
    HANDLE stop_event_ = nullptr;
    OVERLAPPED wait_ov_{};
    OVERLAPPED read_ov_{};
    OVERLAPPED write_ov_{};
    std::uint8_t read_byte_ = 0;
};

bool configure(HANDLE port, int baud)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    if (!SetCommState(port, &dcb)) {
        return false;
    }
    // All zero: a read waits until its bytes are there, a write has no time limit.
    COMMTIMEOUTS timeouts{};
    return SetCommTimeouts(port, &timeouts) && SetCommMask(port, EV_RXCHAR);
}

}  // namespace

std::unique_ptr<SerialDevice> serial_device_open(const std::string& port_name, int baud)
{
    // Only COM1 to COM9 are names the system resolves by themselves; the device namespace reaches
    // every port, COM10 and above included.
    const std::string device_name = "\\\\.\\" + port_name;
    const HANDLE port = CreateFileA(device_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (!configure(port, baud)) {
        CloseHandle(port);
        return nullptr;
    }
    auto device = std::make_unique<Win32SerialDevice>(port);
    if (!device->events_created()) {
        return nullptr;
    }
    return device;
}

bool serial_device_paths_allowed()
{
    return false;
}

void serial_end_process(int code)
{
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace zarnik
