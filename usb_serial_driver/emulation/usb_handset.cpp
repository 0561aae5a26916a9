// The simulated bus and handset: its descriptors, its creation, and the helpers its other files
// share (usb_handset_controls.cpp, usb_handset_bus.cpp, usb_handset_pnp_power.cpp). Transfers
// are completed in a fresh context at DISPATCH_LEVEL, as a host controller's DPC would; the bus
// never holds its own mutex while it calls out.
#include "usb_handset.h"

#include <algorithm>

#include "emulation_private.h"

namespace kemu {

namespace detail {

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

// A request cancelled before its cancel routine was set is the bus's to complete: true when it
// was, and the routine has been taken back. Called with the bus's mutex held, before anyone else
// can take the request; Cancel is written atomically by IoCancelIrp.
bool CancelledBeforeQueued(PIRP irp) {
  return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr);
}

void CompleteAtDispatch(PIRP irp) {
  detail::RunInContext(DISPATCH_LEVEL, "a bus completion", [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

}  // namespace detail

namespace {

std::vector<UCHAR> DeviceDescriptorBytes() {
  return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 3, 1};
}

}  // namespace

HandsetDescriptors HandsetDescriptorsWithEndpoints(const std::vector<UCHAR>& endpoints) {
  std::vector<UCHAR> configuration = {
      9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,    0, 1, 1, 0, 0x80, 50, 9, USB_INTERFACE_DESCRIPTOR_TYPE, 0,
      0, UCHAR(endpoints.size()),           0xFF, 0, 0, 0};
  for (UCHAR endpoint : endpoints)
    configuration.insert(configuration.end(),
                         {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint, USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
  configuration[2] = UCHAR(configuration.size());
  configuration[3] = UCHAR(configuration.size() >> 8);
  return {DeviceDescriptorBytes(), configuration};
}

HandsetDescriptors DefaultHandsetDescriptors() { return HandsetDescriptorsWithEndpoints({0x81, 0x02}); }

UsbHandset::UsbHandset(HandsetDescriptors descriptors) : descriptors_(std::move(descriptors)) {
  driver_ = CreateBusDriver(u"usbhub");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  pdo_ = CreatePhysicalDevice(driver_, this);
  capabilities_.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; ++state)
    capabilities_.DeviceState[state] = PowerDeviceD2;
  capabilities_.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  capabilities_.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  capabilities_.SystemWake = PowerSystemSleeping3;
  capabilities_.DeviceWake = PowerDeviceD2;
}

UsbHandset::~UsbHandset() {
  DeletePhysicalDevice(pdo_);
  DeleteBusDriver(driver_);
}

}  // namespace kemu
