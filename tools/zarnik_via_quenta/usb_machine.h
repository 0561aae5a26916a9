// The PC a Win32 program runs on here: the emulated Windows kernel in threaded mode (DPCs and
// timers on a worker thread, the clock following real time), Quenta loaded as the USB serial
// driver, and a simulated USB handset that the plug-and-play manager starts under Quenta once it
// is plugged in, named COMn in its hardware key, with its cable to a serial device.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "handset_cable.h"
#include "usb_handset.h"

namespace usbpath {

class UsbMachine {
public:
    // A fresh emulated kernel with the driver loaded and running.
    UsbMachine();
    ~UsbMachine();
    UsbMachine(const UsbMachine&) = delete;
    UsbMachine& operator=(const UsbMachine&) = delete;

    // Plugs in a handset whose hardware key names it "COM<port>" and whose cable goes to the serial
    // device at devicePath. False, with no handset on the bus, when the device cannot be opened.
    bool PlugHandset(int port, const std::string& devicePath);
    // What a hang-up of the device does: the handset is pulled out (surprise removal).
    void PullOutHandset();
    // Ends the machine: the cable stops, the handset still plugged in is pulled out, removed, the
    // driver unloaded and the kernel's threads stopped. Returns what the kernel's checks found (pool
    // leaked, locks held, requests never completed ...): nothing when all is well. The program's
    // handles must be closed first (k32::CloseEveryHandle).
    std::vector<std::string> ShutDown();

    kemu::UsbHandset* handset() const { return handset_.get(); }
    HandsetCable* cable() const { return cable_.get(); }
    HandsetCable::Counts BulkCounts() const;

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<kemu::UsbHandset> handset_;
    std::unique_ptr<HandsetCable> cable_;
    HandsetCable::Counts finalCounts_;
    std::mutex pnp_;          // plug-and-play requests go one at a time
    bool attached_ = false;   // under pnp_: started under the driver, not yet removed
    bool pulledOut_ = false;  // under pnp_
    bool shutDown_ = false;
};

}  // namespace usbpath
