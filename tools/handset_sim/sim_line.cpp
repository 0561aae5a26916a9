#include "sim_line.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace handset_sim {

bool SimLine::open(std::string& error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slave_path_ = ptsname(master_);
    // The simulator keeps the slave open itself, so that the client closing and re-opening the
    // port never makes the master see a hang-up.
    slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int stop_pipe[2];
    if (slave_ < 0 || pipe2(stop_pipe, O_CLOEXEC) != 0) {
        error = std::string("cannot open ") + slave_path_ + ": " + std::strerror(errno);
        return false;
    }
    stop_read_ = stop_pipe[0];
    stop_write_ = stop_pipe[1];
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

void SimLine::close()
{
    for (int* fd : {&master_, &slave_, &stop_read_, &stop_write_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool SimLine::own_terminal()
{
    std::signal(SIGHUP, SIG_IGN);
    return setsid() >= 0 && ioctl(slave_, TIOCSCTTY, 0) == 0;
}

SimLine::Receive SimLine::receive(Bytes& inbox)
{
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
        return errno == EINTR ? Receive::Nothing : Receive::Stopped;
    }
    if (fds[1].revents != 0) {
        return Receive::Stopped;
    }
    std::uint8_t buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return Receive::Nothing;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Receive::Nothing;
    }
    if (baud_ > 0) {
        // The bytes reach the handset at the line rate, after those before them.
        rx_free_ = std::max(rx_free_, Clock::now()) + byte_time(static_cast<std::size_t>(n));
    }
    inbox.insert(inbox.end(), buffer, buffer + n);
    return Receive::Bytes;
}

void SimLine::wait_arrival() const
{
    if (baud_ > 0) {
        std::this_thread::sleep_until(rx_free_);
    }
}

void SimLine::send(const Bytes& bytes, bool in_bursts)
{
    const std::size_t piece = burst_ == 0 || !in_bursts ? bytes.size() : burst_;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (at != 0) {
            std::this_thread::sleep_for(gap_);
        }
        send_piece(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
}

void SimLine::hang_up()
{
    for (int* fd : {&master_, &slave_}) {
        ::close(*fd);
        *fd = -1;
    }
    hung_up_.store(true);
}

void SimLine::wake()
{
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = write(stop_write_, &wake, 1);
}

SimLine::Clock::duration SimLine::byte_time(std::size_t n) const
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 * n / baud_));
}

bool SimLine::write_all(const std::uint8_t* bytes, std::size_t count)
{
    while (count != 0) {
        const ssize_t n = ::write(master_, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd fds[2] = {{master_, POLLOUT, 0}, {stop_read_, POLLIN, 0}};
        if (poll(fds, 2, 1000) > 0 && fds[1].revents != 0) {
            return false;
        }
    }
    return true;
}

void SimLine::send_piece(const std::uint8_t* bytes, std::size_t count)
{
    if (baud_ <= 0) {
        write_all(bytes, count);
        return;
    }
    constexpr std::size_t slice = 8;
    tx_next_ = std::max(tx_next_, Clock::now());
    for (std::size_t at = 0; at < count; at += slice) {
        const std::size_t n = std::min(slice, count - at);
        std::this_thread::sleep_until(tx_next_);
        write_all(bytes + at, n);
        tx_next_ += byte_time(n);
    }
}

}  // namespace handset_sim
