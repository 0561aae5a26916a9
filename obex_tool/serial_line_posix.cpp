// Only POSIX and XSI calls are used unguarded; the speeds above 38400 baud, RTS/CTS flow control
// and the exclusive open are used where the system has them.
#include "serial_line_posix.h"

#include <fcntl.h>
#include <sys/ioctl.h>
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

}  // namespace

std::optional<SerialLine> serial_line_open(const std::string& path, int baud)
{
    SerialLine line;
    line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0) {
        return std::nullopt;
    }
    if (tcgetattr(line.fd, &line.found) != 0) {
        close(line.fd);
        return std::nullopt;
    }
    if (!take_exclusive(line.fd) || !make_raw_line(line.fd, baud)) {
        serial_line_give_back(line);
        close(line.fd);
        return std::nullopt;
    }
    return line;
}

void serial_line_give_back(const SerialLine& line)
{
    tcsetattr(line.fd, TCSANOW, &line.found);
    release_exclusive(line.fd);
}

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

}  // namespace zarnik
