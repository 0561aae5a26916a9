// The power manager's calls and the plug-and-play and power manager's requests. Every power
// IRP must see PoStartNextPowerIrp once at each level of the stack it reached. A power IRP that
// a driver requests at DISPATCH_LEVEL is sent from a passive worker, as Windows does for
// devices whose power requests must not run at raised IRQL.
#include "emulation_private.h"

namespace kemu::detail {

namespace {

NTSTATUS SendManagerRequest(PDEVICE_OBJECT physical, const std::function<void(PIO_STACK_LOCATION)>& setup,
                            const char* what) {
  RequireIrqlExactly(PASSIVE_LEVEL, what);
  PDEVICE_OBJECT top = kemu::TopOfStack(physical);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Manager);
  setup(IoGetNextIrpStackLocation(irp));
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCallDriver(top, irp);
  kemu::RunUntil(
      [irp, what] {
        auto lock = Lock();
        return InfoOf(TheWorld(), irp, what).state == IrpState::Completed;
      },
      what);
  auto lock = Lock();
  NTSTATUS status = irp->IoStatus.Status;
  TheWorld().irps.erase(irp);
  FreeIrpMemory(irp);
  return status;
}

}  // namespace
}  // namespace kemu::detail

namespace kemu {

using namespace detail;

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  RequireIrqlExactly(PASSIVE_LEVEL, "AddDevice");
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, physical);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT top = TopOfStack(physical);
  if (top == physical) Bugcheck("AddDevice succeeded without attaching a device to the stack");
  if (top->Flags & DO_DEVICE_INITIALIZING) Bugcheck("AddDevice left DO_DEVICE_INITIALIZING set");
  return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT physical, UCHAR minor) {
  return SendManagerRequest(
      physical,
      [minor](PIO_STACK_LOCATION location) {
        location->MajorFunction = IRP_MJ_PNP;
        location->MinorFunction = minor;
      },
      "a plug-and-play request");
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT physical) {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof capabilities;
  capabilities.Version = 1;
  capabilities.Address = capabilities.UINumber = 0xFFFFFFFFu;
  return SendManagerRequest(
      physical,
      [&capabilities](PIO_STACK_LOCATION location) {
        location->MajorFunction = IRP_MJ_PNP;
        location->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      },
      "a capabilities query");
}

NTSTATUS StartDevice(PDEVICE_OBJECT physical) {
  NTSTATUS status = SendPnp(physical, IRP_MN_START_DEVICE);
  if (NT_SUCCESS(status)) QueryCapabilities(physical);
  return status;
}

namespace {

NTSTATUS SendPower(PDEVICE_OBJECT physical, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return SendManagerRequest(
      physical,
      [minor, type, state](PIO_STACK_LOCATION location) {
        location->MajorFunction = IRP_MJ_POWER;
        location->MinorFunction = minor;
        location->Parameters.Power.Type = type;
        location->Parameters.Power.State = state;
      },
      "a power request");
}

}  // namespace

NTSTATUS SendSystemPower(PDEVICE_OBJECT physical, UCHAR minor, SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return SendPower(physical, minor, SystemPowerState, power);
}

NTSTATUS SendDevicePower(PDEVICE_OBJECT physical, UCHAR minor, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return SendPower(physical, minor, DevicePowerState, power);
}

DEVICE_POWER_STATE LastPoSetPowerState(PDEVICE_OBJECT device) {
  auto lock = Lock();
  return TheWorld().devices[device].lastPowerState.DeviceState;
}

}  // namespace kemu

using namespace kemu::detail;

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    kemu::Bugcheck("PoCallDriver with a request that is not a power request");
  return IoCallDriver(device, irp);
}

void PoStartNextPowerIrp(PIRP irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  auto lock = Lock();
  InfoOf(TheWorld(), irp, "PoStartNextPowerIrp").startNextPowerCalls++;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  auto lock = Lock();
  POWER_STATE previous = TheWorld().devices[device].lastPowerState;
  if (type == DevicePowerState) TheWorld().devices[device].lastPowerState = state;
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                           PVOID context, PIRP* irpOut) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  if (minor == IRP_MN_SET_POWER)
    LogCall(state.DeviceState >= PowerDeviceD0
                ? "PoRequestPowerIrp SET_POWER D" + std::to_string(int(state.DeviceState) - int(PowerDeviceD0))
                : "PoRequestPowerIrp SET_POWER unspecified");
  else if (minor == IRP_MN_WAIT_WAKE)
    LogCall("PoRequestPowerIrp WAIT_WAKE");
  if (auto failure = InjectedFailure("PoRequestPowerIrp")) return *failure;
  PDEVICE_OBJECT top = kemu::TopOfStack(device);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::PowerRequest);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_POWER;
  location->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    location->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    location->Parameters.Power.Type = DevicePowerState;
    location->Parameters.Power.State = state;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  {
    auto lock = Lock();
    InfoOf(TheWorld(), irp, "PoRequestPowerIrp").onTopCompletion = [=](PIRP done) {
      if (completion) completion(device, minor, state, context, &done->IoStatus);
      auto guard = Lock();
      TheWorld().irps.erase(done);
      FreeIrpMemory(done);
    };
  }
  if (irpOut) *irpOut = irp;
  if (Current().irql == PASSIVE_LEVEL) {
    IoCallDriver(top, irp);
  } else {
    kemu::Defer(PASSIVE_LEVEL, [top, irp] { IoCallDriver(top, irp); });
  }
  return STATUS_PENDING;
}
