// The platform half of the COM-port layer: one open serial device, as Comport.cpp uses it.
// Comport_posix.cpp (termios) and Comport_win32.cpp (overlapped Win32 I/O) implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zarnik {

class SerialDevice {
public:
    enum class Wait { Event, Stopped, Failed };
    // Byte: one byte read. Empty: the read ended without data (a purge). EmptyAfterError: a
    // pending read whose completion failed (logged, then handled as Empty). Failed: the device
    // is gone. Stopped: stop() was called.
    enum class Read { Byte, Empty, EmptyAfterError, Failed, Stopped };

    virtual ~SerialDevice() = default;
    // Blocks until a character-received event, a failure, or stop().
    virtual Wait wait_event() = 0;
    // Blocks until one byte arrives, the read ends without data, or stop().
    virtual Read read_byte(std::uint8_t& byte) = 0;
    // Writes all bytes; returns the count or -1 (the system error code in error).
    virtual long write(const std::uint8_t* bytes, std::size_t length, unsigned long& error) = 0;
    virtual void purge() = 0;
    // Makes wait_event and read_byte return Stopped from now on; callable from any thread.
    virtual void stop() = 0;
};

// Opens the device behind a port name ("COMn", or a device path where the platform allows it)
// at baud, 8 data bits, no parity, one stop bit. Returns nullptr on failure.
std::unique_ptr<SerialDevice> serial_device_open(const std::string& port_name, int baud);

// Whether a port may be named by a device path (POSIX) rather than only by number.
bool serial_device_paths_allowed();

// Ends the whole process at once with code, after flushing the open streams and giving back
// the device the process holds as it was found (POSIX: its terminal settings and exclusive flag).
[[noreturn]] void serial_end_process(int code);

}  // namespace zarnik
