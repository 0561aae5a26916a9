// The COM-port device on POSIX: a tty through termios. The port "COMn" is the device named by
// the environment variable COMn (for example COM3=/dev/ttyACM0), else /dev/ttyS<n-1>; a name
// that contains '/' is a device path. The line is set up by serial_line_posix.cpp.
//
// Only POSIX and XSI calls are used.
#include "ComportDevice.h"
#include "serial_line_posix.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace zarnik {

namespace {

// The device the process holds open (-1: none) and the settings it was found with. A run that
// ends with the port still open (every failure does) gives it back on the way out.
struct HeldDevice {
    std::atomic<int> fd{-1};
    termios found{};
};

HeldDevice& held_device()
{
    static HeldDevice held;
    return held;
}

void give_back_at_exit()
{
    HeldDevice& held = held_device();
    const int fd = held.fd.exchange(-1);
    if (fd >= 0) {
        serial_line_give_back(SerialLine{fd, held.found});
    }
}

void hold_device(int fd, const termios& found)
{
    static const bool registered = std::atexit(give_back_at_exit) == 0;
    (void)registered;
    HeldDevice& held = held_device();
    held.found = found;
    held.fd.store(fd);
}

std::string device_path_for(const std::string& port_name)
{
    if (port_name.find('/') != std::string::npos) {
        return port_name;
    }
    int number = 0;
    if (std::sscanf(port_name.c_str(), "COM%d", &number) != 1) {
        return port_name;
    }
    if (const char* mapped = std::getenv(port_name.c_str()); mapped != nullptr && *mapped != 0) {
        return mapped;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(int fd, const termios& found, int stop_read, int stop_write)
        : fd_(fd), found_(found), stop_read_(stop_read), stop_write_(stop_write)
    {
    }

    ~PosixSerialDevice() override
    {
        int held = fd_;
        held_device().fd.compare_exchange_strong(held, -1);
        serial_line_give_back(SerialLine{fd_, found_});
        close(fd_);
        close(stop_read_);
        close(stop_write_);
    }

    // A device that went away (a hang-up) ends a wait as a failure: the listener then ends the
    // process, as a failing event wait does on Windows.
    Wait wait_event() override
    {
        switch (wait_readable()) {
            case Ready::Data:
                return Wait::Event;
            case Ready::Stop:
                return Wait::Stopped;
            default:
                return Wait::Failed;
        }
    }

    Read read_byte(std::uint8_t& byte) override
    {
        for (;;) {
            const Ready ready = wait_readable();
            if (ready == Ready::Stop) {
                return Read::Stopped;
            }
            if (ready == Ready::Error) {
                return Read::Failed;
            }
            const ssize_t n = read(fd_, &byte, 1);
            if (n == 1) {
                return Read::Byte;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return Read::Empty;  // a purge took the byte that poll announced
            }
            // The read that waited for the next byte ended in error because the device went
            // away: like a pending read whose completion fails, it reports no byte, and the
            // event wait that follows fails.
            return ready == Ready::Hangup ? Read::EmptyAfterError : Read::Failed;
        }
    }

    long write(const std::uint8_t* bytes, std::size_t length, unsigned long& error) override
    {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(fd_, bytes + done, length - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                pollfd out{fd_, POLLOUT, 0};
                poll(&out, 1, -1);
                continue;
            }
            error = static_cast<unsigned long>(errno);
            return -1;
        }
        return static_cast<long>(done);
    }

    void purge() override { tcflush(fd_, TCIOFLUSH); }

    void stop() override
    {
        stopping_.store(true);
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_write_, &wake, 1);
    }

private:
    enum class Ready { Data, Hangup, Stop, Error };

    Ready wait_readable()
    {
        for (;;) {
            if (stopping_.load()) {
                return Ready::Stop;
            }
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_read_, POLLIN, 0}};
            const int r = poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r < 0 || (fds[0].revents & POLLNVAL) != 0) {
                return Ready::Error;
            }
            if (fds[1].revents != 0) {
                return Ready::Stop;
            }
            if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                return Ready::Hangup;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                return Ready::Data;
            }
        }
    }

    int fd_;
    termios found_;  // the line settings before the open
    int stop_read_;
    int stop_write_;
    std::atomic<bool> stopping_{false};
};

}  // namespace

std::unique_ptr<SerialDevice> serial_device_open(const std::string& port_name, int baud)
{
    const std::optional<SerialLine> line = serial_line_open(device_path_for(port_name), baud);
    if (!line) {
        return nullptr;
    }
    int stop_pipe[2];
    if (!open_wake_pipe(stop_pipe)) {
        serial_line_give_back(*line);
        close(line->fd);
        return nullptr;
    }
    hold_device(line->fd, line->found);
    return std::make_unique<PosixSerialDevice>(line->fd, line->found, stop_pipe[0], stop_pipe[1]);
}

bool serial_device_paths_allowed()
{
    return true;
}

void serial_end_process(int code)
{
    give_back_at_exit();
    std::fflush(nullptr);
    _exit(code);
}

}  // namespace zarnik
