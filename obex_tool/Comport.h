// The COM-port layer: one process-wide serial port to the handset, a listener thread that
// collects every received byte, and the port log "./ObexCom.log" with every byte of the link.
//
// Calling order: SetComport once, then ComportOpen / ObexSend / ObexRecv / ComportClose, the
// open/close pair any number of times. ObexSend and ObexRecv open the port at 115200 baud
// themselves when no listener runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zarnik {

// Names the port "COM<number>". Opens the port log when it is not open. Returns 0.
int SetComport(int number);
// Names the port by a device path (POSIX only: a first argument that contains '/'). Returns 0.
int SetComportDevice(const std::string& device_path);
// The name given by the last SetComport or SetComportDevice ("COM1" initially).
std::string ComportName();

// Opens the named port at baud, 8N1, and starts the listener. 0, or -1 on failure.
int ComportOpen(int baud);
// Writes length bytes; returns the number written or -1.
int ObexSend(const std::uint8_t* bytes, std::size_t length);
// Waits about 3 s for a first byte, then at least 5 ms more and until the line has been quiet
// for 3 ms, and copies what arrived (at most capacity bytes; the rest waits for the next call). Returns the number
// copied, 0 when nothing arrived, -1 when the port is not open.
int ObexRecv(std::uint8_t* destination, std::size_t capacity);
// Stops the listener, closes the port and the port log. Returns 0; does nothing when closed.
int ComportClose();
// Discards pending input and output and ends outstanding reads and writes.
void ComportPurge();

// The receive buffer holds two whole packets of the largest size the client offers.
inline constexpr std::size_t kComRxBufferSize = 16384;

// How long ObexRecv waits; tests that are not about the first-byte wait shorten it.
struct ComportTiming {
    std::chrono::milliseconds first_byte_wait{3000};
    std::chrono::milliseconds settle{5};  // after the first byte is seen, before the gap counts
    std::chrono::milliseconds quiet_gap{3};
};
ComportTiming& comport_timing();

}  // namespace zarnik
