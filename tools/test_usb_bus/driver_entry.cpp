// DriverEntry, the bus's own device on the root-enumerated PDO, the control device, and the one
// dispatch routine that sends each request to the role of the device it is for.
#include "bus.h"

namespace test_usb_bus {

Bus TheBus;

namespace {

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  switch (*static_cast<Role*>(device->DeviceExtension)) {
    case Role::Control:
      return ControlRequest(irp);
    case Role::Bus: {
      auto& bus = *static_cast<BusExtension*>(device->DeviceExtension);
      if (major == IRP_MJ_PNP) return BusPnp(bus, irp);
      if (major == IRP_MJ_POWER) return BusPower(bus, irp);
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(bus.Lower, irp);
    }
    case Role::Handset: {
      auto& handset = *static_cast<Handset*>(device->DeviceExtension);
      if (major == IRP_MJ_PNP) return HandsetPnp(handset, irp);
      if (major == IRP_MJ_POWER) return HandsetPower(irp);
      if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL) return HandsetInternalControl(device, irp);
      break;
    }
  }
  NTSTATUS status = major == IRP_MJ_SYSTEM_CONTROL ? irp->IoStatus.Status : STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (TheBus.RootPdo) return STATUS_DEVICE_CONFIGURATION_ERROR;  // one bus
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* bus = static_cast<BusExtension*>(fdo->DeviceExtension);
  bus->Kind = Role::Bus;
  bus->Self = fdo;
  bus->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!bus->Lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  TheBus.RootPdo = pdo;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("usbbus: bus started\n");
  return STATUS_SUCCESS;
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, TEST_USB_BUS_DEVICE_NAME);
  RtlInitUnicodeString(&link, TEST_USB_BUS_LINK_NAME);
  PDEVICE_OBJECT control;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  static_cast<ControlExtension*>(control->DeviceExtension)->Kind = Role::Control;
  control->Flags |= DO_BUFFERED_IO;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace test_usb_bus

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  using namespace test_usb_bus;
  KeInitializeSpinLock(&TheBus.Lock);
  InitializeListHead(&TheBus.Handsets);
  // Windows has the volatile device map from boot; Wine creates it late, after the drivers of
  // the first session may already want to write a SERIALCOMM value into it.
  RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(L"\\Registry\\Machine\\HARDWARE"));
  RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP"));
  RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(L"SERIALCOMM"));
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  NTSTATUS status = CreateControlDevice(driver);
  if (!NT_SUCCESS(status)) DbgPrint("usbbus: no control device (%#x)\n", status);
  return status;
}
