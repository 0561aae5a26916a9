// The COM-port device on POSIX: a tty through termios. The port "COMn" is the device named by
// the environment variable COMn (for example COM3=/dev/ttyACM0), else /dev/ttyS<n-1>; a name
// that contains '/' is a device path. The line is raw and binary-clean, 8N1, no flow control,
// modem lines ignored, so that a device without them (a pseudo-terminal) works too.
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

// The descriptor of the open device, or -1. The exclusive flag belongs to the device, not to
// this process: a run that ends with the port still open (every failure does) clears it on
// the way out, or the next open of the device would fail with EBUSY while another process
// (the far end of a pseudo-terminal) holds it.
std::atomic<int> exclusive_fd{-1};

void release_exclusive_at_exit()
{
    const int fd = exclusive_fd.exchange(-1);
    if (fd >= 0) {
        ioctl(fd, TIOCNXCL);
    }
}

void hold_exclusive(int fd)
{
    static const bool registered = std::atexit(release_exclusive_at_exit) == 0;
    (void)registered;
    exclusive_fd.store(fd);
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
    } speeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                  {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                  {230400, B230400}, {460800, B460800}, {921600, B921600}};
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
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 && tcsetattr(fd, TCSANOW, &tio) == 0;
}

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(int fd, int stop_read, int stop_write) : fd_(fd), stop_read_(stop_read), stop_write_(stop_write)
    {
    }

    ~PosixSerialDevice() override
    {
        // The exclusive flag belongs to the device and would outlive this open.
        int held = fd_;
        exclusive_fd.compare_exchange_strong(held, -1);
        ioctl(fd_, TIOCNXCL);
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
    if (ioctl(fd, TIOCEXCL) != 0 || !make_raw_line(fd, baud)) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return nullptr;
    }
    int stop_pipe[2];
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return nullptr;
    }
    hold_exclusive(fd);
    return std::make_unique<PosixSerialDevice>(fd, stop_pipe[0], stop_pipe[1]);
}

bool serial_device_paths_allowed()
{
    return true;
}

void serial_end_process(int code)
{
    release_exclusive_at_exit();
    std::fflush(nullptr);
    _exit(code);
}

}  // namespace zarnik
