// The COM-port device on POSIX: a tty through termios. The port "COMn" is the device named by
// the environment variable COMn (for example COM3=/dev/ttyACM0), else /dev/ttyS<n-1>; a name
// that contains '/' is a device path. The line is raw and binary-clean, 8N1, no flow control,
// modem lines ignored, so that a device without them (a pseudo-terminal) works too.
//
// Only POSIX and XSI calls are used unguarded; the speeds above 38400 baud, RTS/CTS flow control
// and the exclusive open are used where the system has them.
#include "ComportDevice.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zarnik {

namespace {

bool take_exclusive([[maybe_unused]] int fd)
{
#ifdef TIOCEXCL
    return ioctl(fd, TIOCEXCL) == 0;
#else
    return true;
#endif
}

void release_exclusive([[maybe_unused]] int fd)
{
#ifdef TIOCNXCL
    ioctl(fd, TIOCNXCL);
#endif
}

// Gives the device back as it was found: its line settings and no exclusive flag. Both belong
// to the device, not to this process: a terminal left raw stays raw for the next program, and
// an exclusive flag left set makes the next open fail with EBUSY while another process (the
// far end of a pseudo-terminal) holds the device.
void give_back(int fd, const termios& found)
{
    tcsetattr(fd, TCSANOW, &found);
    release_exclusive(fd);
}

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
        give_back(fd, held.found);
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

// A pipe whose ends are closed on exec and never block (pipe2 is not everywhere).
bool open_wake_pipe(int ends[2])
{
    if (pipe(ends) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK) != 0) {
            close(ends[0]);
            close(ends[1]);
            return false;
        }
    }
    return true;
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

bool speed_for(int baud, speed_t& speed)
{
    static constexpr struct {
        int baud;
        speed_t speed;
    } speeds[] = {
        {1200, B1200},     {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const auto& s : speeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

bool make_raw_line(int fd, int baud)
{
    speed_t speed = 0;
    termios tio{};
    if (!speed_for(baud, speed) || tcgetattr(fd, &tio) != 0) {
        return false;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 && tcsetattr(fd, TCSANOW, &tio) == 0;
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
        give_back(fd_, found_);
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
    const std::string path = device_path_for(port_name);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    termios found{};
    if (tcgetattr(fd, &found) != 0) {
        close(fd);
        return nullptr;
    }
    int stop_pipe[2];
    if (!take_exclusive(fd) || !make_raw_line(fd, baud) || !open_wake_pipe(stop_pipe)) {
        give_back(fd, found);
        close(fd);
        return nullptr;
    }
    hold_device(fd, found);
    return std::make_unique<PosixSerialDevice>(fd, found, stop_pipe[0], stop_pipe[1]);
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
