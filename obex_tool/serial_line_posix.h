// A serial device set up for the link on POSIX: opened exclusively, raw and binary-clean at the
// baud rate, 8N1, no flow control, modem lines ignored, so that a device without them (a
// pseudo-terminal) works too. Shared by Zarnik's port layer and by whatever else opens a device
// for a link (the handset end of the emulated USB cable).
#pragma once

#include <optional>
#include <string>
#include <termios.h>

namespace zarnik {

struct SerialLine {
    int fd = -1;      // non-blocking, closed on exec
    termios found{};  // the line settings before the open
};

// Opens the device at path and sets it up; nothing is left open or changed on failure.
std::optional<SerialLine> serial_line_open(const std::string& path, int baud);

// Gives the device back as it was found: its line settings and no exclusive flag. Both belong to
// the device, not to this process: a terminal left raw stays raw for the next program, and an
// exclusive flag left set makes the next open fail with EBUSY while another process (the far end
// of a pseudo-terminal) holds the device. Does not close it.
void serial_line_give_back(const SerialLine& line);

// A pipe whose ends are closed on exec and never block, for waking a thread out of poll.
bool open_wake_pipe(int ends[2]);

}  // namespace zarnik
