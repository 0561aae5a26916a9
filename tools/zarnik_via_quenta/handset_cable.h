// The handset end of the USB cable: the simulated handset's bulk pipes carry a byte stream to and
// from a serial device. Every bulk-OUT payload is taken (the transfer completes) and written to the
// device, one at a time, so the next transfer waits while the device is slow to take bytes; bytes
// read from the device complete the pending bulk-IN transfer, up to the length it asks for, as
// soon as any are there. The device is opened and set up with Zarnik's own
// POSIX device code (raw 8N1, exclusive), so any handset that serves a tty serves the USB side too:
// the kit's handset_sim, or a phone's serial device. The device hanging up is the handset pulled
// out of the USB port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial_line_posix.h"
#include "usb_handset.h"

namespace usbpath {

class HandsetCable {
public:
    struct Counts {
        uint64_t outTransfers = 0;
        uint64_t outBytes = 0;
        uint64_t largestOut = 0;
        uint64_t inTransfers = 0;
        uint64_t inBytes = 0;
    };

    // Opens the device at path for the handset's pipes; null when it cannot be opened. pulledOut
    // is called once, on one of the cable's threads, when the device hangs up.
    static std::unique_ptr<HandsetCable> Open(const std::string& path, kemu::UsbHandset& handset,
                                              std::function<void()> pulledOut);
    ~HandsetCable();
    HandsetCable(const HandsetCable&) = delete;
    HandsetCable& operator=(const HandsetCable&) = delete;

    // Stops carrying bytes and gives the device back as it was found; the handset's pending
    // transfers stay with it. Called by the destructor too; it must not be called from pulledOut.
    void Stop();
    Counts counts() const;
    // The next bulk transfer in that direction fails with these statuses instead of carrying bytes,
    // as a stalled or failing device answers it: a bulk-IN one as soon as it waits, a bulk-OUT one
    // before the device sees any of its bytes. Later transfers are carried again.
    void FailNextTransfer(bool in, NTSTATUS status, USBD_STATUS urbStatus);

private:
    HandsetCable(zarnik::SerialLine line, const int wakeIn[2], const int wakeOut[2], kemu::UsbHandset& handset,
                 std::function<void()> pulledOut);
    void CarryIn();
    void CarryOut();
    void TransferWaiting();
    void WaitForDispatchLevelWork();
    bool WriteAll(const std::vector<UCHAR>& bytes);
    void HungUp();

    zarnik::SerialLine line_;
    int wakeIn_[2];
    int wakeOut_[2];
    kemu::UsbHandset& handset_;
    std::function<void()> pulledOut_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> hungUp_{false};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t transfersSeen_ = 0;  // under mutex_: how often a transfer started waiting
    Counts counts_;               // under mutex_
    struct Failure {
        NTSTATUS status;
        USBD_STATUS urbStatus;
    };
    std::optional<Failure> failIn_;   // under mutex_
    std::optional<Failure> failOut_;  // under mutex_
    std::optional<Failure> TakeFailure(std::optional<Failure>& armed);

    std::thread in_;
    std::thread out_;
    bool stopped_ = false;
};

}  // namespace usbpath
