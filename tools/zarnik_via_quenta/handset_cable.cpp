#include "handset_cable.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <utility>

#include "kernel32_controls.h"

namespace usbpath {

namespace {

void Drain(int fd)
{
    char scratch[64];
    while (read(fd, scratch, sizeof scratch) > 0) {
    }
}

void Wake(int fd)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);  // a full pipe is awake already
}

}  // namespace

std::unique_ptr<HandsetCable> HandsetCable::Open(const std::string& path, kemu::UsbHandset& handset,
                                                 std::function<void()> pulledOut)
{
    std::optional<zarnik::SerialLine> line = zarnik::serial_line_open(path, 115200);
    if (!line) {
        return nullptr;
    }
    int wakeIn[2];
    int wakeOut[2];
    if (!zarnik::open_wake_pipe(wakeIn)) {
        zarnik::serial_line_give_back(*line);
        close(line->fd);
        return nullptr;
    }
    if (!zarnik::open_wake_pipe(wakeOut)) {
        close(wakeIn[0]);
        close(wakeIn[1]);
        zarnik::serial_line_give_back(*line);
        close(line->fd);
        return nullptr;
    }
    return std::unique_ptr<HandsetCable>(new HandsetCable(*line, wakeIn, wakeOut, handset, std::move(pulledOut)));
}

HandsetCable::HandsetCable(zarnik::SerialLine line, const int wakeIn[2], const int wakeOut[2],
                           kemu::UsbHandset& handset, std::function<void()> pulledOut)
    : line_(line),
      wakeIn_{wakeIn[0], wakeIn[1]},
      wakeOut_{wakeOut[0], wakeOut[1]},
      handset_(handset),
      pulledOut_(std::move(pulledOut))
{
    // The payloads go to the device; a copy of each would only grow with every byte sent.
    handset_.KeepOutTransfers(false);
    handset_.SetOutCompletesLater(true);
    handset_.SetTransferHook([this] { TransferWaiting(); });
    in_ = std::thread([this] { CarryIn(); });
    out_ = std::thread([this] { CarryOut(); });
}

HandsetCable::~HandsetCable()
{
    Stop();
}

void HandsetCable::Stop()
{
    if (stopped_) {
        return;
    }
    stopped_ = true;
    handset_.SetTransferHook(nullptr);
    stopping_ = true;
    {
        const std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    Wake(wakeIn_[1]);
    Wake(wakeOut_[1]);
    in_.join();
    out_.join();
    zarnik::serial_line_give_back(line_);
    close(line_.fd);
    for (int fd : {wakeIn_[0], wakeIn_[1], wakeOut_[0], wakeOut_[1]}) {
        close(fd);
    }
}

HandsetCable::Counts HandsetCable::counts() const
{
    const std::lock_guard lock(mutex_);
    return counts_;
}

void HandsetCable::FailNextTransfer(bool in, NTSTATUS status, USBD_STATUS urbStatus)
{
    {
        const std::lock_guard lock(mutex_);
        (in ? failIn_ : failOut_) = Failure{status, urbStatus};
    }
    Wake(wakeIn_[1]);  // a bulk-IN transfer may be waiting already
}

std::optional<HandsetCable::Failure> HandsetCable::TakeFailure(std::optional<Failure>& armed)
{
    const std::lock_guard lock(mutex_);
    return std::exchange(armed, std::nullopt);
}

// Called by the bus, possibly at dispatch level inside the driver: it only wakes the carriers.
void HandsetCable::TransferWaiting()
{
    {
        const std::lock_guard lock(mutex_);
        ++transfersSeen_;
    }
    changed_.notify_all();
    Wake(wakeIn_[1]);
}

void HandsetCable::HungUp()
{
    if (!hungUp_.exchange(true)) {
        pulledOut_();
    }
}

void HandsetCable::CarryIn()
{
    std::vector<UCHAR> held;  // read from the device when the transfer it was for went away
    while (!stopping_ && !hungUp_) {
        const bool receiving = handset_.PendingIn() > 0;
        if (receiving) {
            if (const std::optional<Failure> failure = TakeFailure(failIn_)) {
                handset_.FailIn(failure->status, failure->urbStatus);
                continue;
            }
        }
        if (receiving && !held.empty()) {
            const size_t count = held.size();
            if (handset_.DeliverIn(held, [count] { k32::TraceLine("bulk-IN %zu", count); })) {
                const std::lock_guard lock(mutex_);
                counts_.inTransfers++;
                counts_.inBytes += count;
                held.clear();
            }
            continue;
        }
        // Bytes are read only for a transfer that asks for them; the device keeps the rest. A
        // hang-up is seen whether or not a transfer waits.
        pollfd fds[2] = {{line_.fd, short(receiving ? POLLIN : 0), 0}, {wakeIn_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            HungUp();
            return;
        }
        if (fds[1].revents != 0) {
            Drain(wakeIn_[0]);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            held.resize(std::max<ULONG>(handset_.LastRequestedInLength(), 1));
            const ssize_t n = read(line_.fd, held.data(), held.size());
            if (n > 0) {
                held.resize(size_t(n));
                continue;
            }
            held.clear();
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            HungUp();
            return;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            HungUp();
            return;
        }
    }
}

void HandsetCable::WaitForDispatchLevelWork()
{
    // Bounded: on a busy port DPCs may keep coming.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (!kemu::DpcsIdle() && std::chrono::steady_clock::now() < limit && !stopping_) {
        std::this_thread::yield();
    }
}

bool HandsetCable::WriteAll(const std::vector<UCHAR>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(line_.fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The device takes bytes at its line rate: wait for room, or for the cable to stop.
            pollfd fds[2] = {{line_.fd, POLLOUT, 0}, {wakeOut_[0], POLLIN, 0}};
            poll(fds, 2, -1);
            if (stopping_) {
                return false;
            }
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                HungUp();
                return false;
            }
            continue;
        }
        HungUp();
        return false;
    }
    return true;
}

void HandsetCable::CarryOut()
{
    for (;;) {
        uint64_t seen;
        {
            const std::lock_guard lock(mutex_);
            seen = transfersSeen_;
        }
        if (stopping_ || hungUp_) {
            return;
        }
        if (std::optional<kemu::UsbHandset::OutTransfer> transfer = handset_.OldestPendingOut()) {
            // The handset takes the payload into its endpoint buffer, which completes the transfer,
            // and passes it on once the driver's completion work at dispatch level is done (which on
            // Windows runs ahead of any thread): whatever the far end does about the bytes (answer,
            // hang up) comes after the driver has heard that they were accepted, as with a USB
            // device. A transfer cancelled before it was taken (a time-out, a purge) sends nothing.
            if (const std::optional<Failure> failure = TakeFailure(failOut_)) {
                handset_.CompleteOut(failure->status, failure->urbStatus, 0);
                continue;
            }
            const size_t count = transfer->bytes.size();
            if (!handset_.CompleteOutTransfer(transfer->serial, [count] { k32::TraceLine("bulk-OUT %zu", count); })) {
                continue;
            }
            {
                const std::lock_guard lock(mutex_);
                counts_.outTransfers++;
                counts_.outBytes += count;
                counts_.largestOut = std::max<uint64_t>(counts_.largestOut, count);
            }
            WaitForDispatchLevelWork();
            if (!WriteAll(transfer->bytes)) {
                return;
            }
            continue;
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return transfersSeen_ != seen || stopping_; });
    }
}

}  // namespace usbpath
