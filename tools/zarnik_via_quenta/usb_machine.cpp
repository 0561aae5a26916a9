#include "usb_machine.h"

#include "driver_entry.h"

namespace usbpath {

UsbMachine::UsbMachine()
{
    kemu::Reset();
    // Timers expire on Windows' clock tick, so interval time-outs behave as on a PC.
    kemu::SetTimerResolution(kemu::kWindowsClockTick);
    driver_ = kemu::LoadDriver(DriverEntry, u"Quenta");
    kemu::StartThreads();
}

UsbMachine::~UsbMachine()
{
    ShutDown();
}

bool UsbMachine::PlugHandset(int port, const std::string& devicePath)
{
    auto handset = std::make_unique<kemu::UsbHandset>();
    std::unique_ptr<HandsetCable> cable = HandsetCable::Open(devicePath, *handset, [this] { PullOutHandset(); });
    if (!cable) {
        return false;
    }
    const std::string name = "COM" + std::to_string(port);
    kemu::SetDeviceString(handset->Pdo(), u"PortName", std::u16string(name.begin(), name.end()));
    const std::lock_guard lock(pnp_);
    handset_ = std::move(handset);
    cable_ = std::move(cable);
    attached_ = kemu::AddDevice(driver_, handset_->Pdo()) == STATUS_SUCCESS;
    if (attached_) {
        kemu::StartDevice(handset_->Pdo());
    }
    return true;
}

void UsbMachine::PullOutHandset()
{
    const std::lock_guard lock(pnp_);
    if (!handset_ || pulledOut_) {
        return;
    }
    pulledOut_ = true;
    handset_->Unplug();
    if (attached_) {
        kemu::SendPnp(handset_->Pdo(), IRP_MN_SURPRISE_REMOVAL);
    }
}

std::vector<std::string> UsbMachine::ShutDown()
{
    if (shutDown_) {
        return {};
    }
    shutDown_ = true;
    // Not under pnp_: a hang-up being handled on the cable's thread finishes first.
    if (cable_) {
        cable_->Stop();
        finalCounts_ = cable_->counts();
    }
    PullOutHandset();
    {
        const std::lock_guard lock(pnp_);
        if (attached_) {
            kemu::SendPnp(handset_->Pdo(), IRP_MN_REMOVE_DEVICE);
            attached_ = false;
        }
    }
    kemu::UnloadDriver(driver_);
    kemu::StopThreads();
    kemu::RunUntilIdle();
    std::vector<std::string> problems = kemu::Problems();
    cable_.reset();
    handset_.reset();
    kemu::Reset();
    return problems;
}

HandsetCable::Counts UsbMachine::BulkCounts() const
{
    return cable_ && !shutDown_ ? cable_->counts() : finalCounts_;
}

}  // namespace usbpath
