// The simulated handset, its device side: the plug-and-play and power requests that reach the
// bus driver, and the wait-wake request it holds until the test wakes the device.
#include "usb_handset.h"

#include <algorithm>

#include "emulation_private.h"

namespace kemu {

using namespace detail;

std::optional<NTSTATUS> UsbHandset::TakeRequestFailure(UCHAR major, UCHAR minor) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = requestFailures_.begin(); it != requestFailures_.end(); ++it) {
    if (it->major != major || it->minor != minor) continue;
    NTSTATUS status = it->status;
    requestFailures_.erase(it);
    return status;
  }
  return std::nullopt;
}

NTSTATUS UsbHandset::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto self = static_cast<UsbHandset*>(device->DeviceExtension);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (auto failure = self->TakeRequestFailure(IRP_MJ_PNP, location->MinorFunction)) {
    irp->IoStatus.Status = *failure;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *failure;
  }
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->pnpSeen_.push_back(location->MinorFunction);
    switch (location->MinorFunction) {
      case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
        for (int state = 0; state < POWER_SYSTEM_MAXIMUM; ++state)
          capabilities->DeviceState[state] = self->capabilities_.DeviceState[state];
        capabilities->SystemWake = self->capabilities_.SystemWake;
        capabilities->DeviceWake = self->capabilities_.DeviceWake;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
      }
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbHandset::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  auto self = static_cast<UsbHandset*>(device->DeviceExtension);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (auto failure = self->TakeRequestFailure(IRP_MJ_POWER, location->MinorFunction)) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = *failure;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *failure;
  }
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (location->Parameters.Power.Type == DevicePowerState) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->powerState_ = location->Parameters.Power.State.DeviceState;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE: {
      std::unique_lock<std::mutex> lock(self->mutex_);
      if (self->waitWake_) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        break;
      }
      self->waitWake_ = irp;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      if (CancelledBeforeQueued(irp)) {
        self->waitWake_ = nullptr;
        lock.unlock();
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      }
      return STATUS_PENDING;
    }
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UsbHandset::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  auto self = static_cast<UsbHandset*>(device->DeviceExtension);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->waitWake_ == irp) self->waitWake_ = nullptr;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_CANCELLED;
  CompleteAtDispatch(irp);
}

}  // namespace kemu
