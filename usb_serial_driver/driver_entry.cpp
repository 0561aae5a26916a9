// DriverEntry and unload: the dispatch table and the one copy of the registry path.
#include "driver_entry.h"

#include "device_objects.h"
#include "open_close.h"
#include "pnp.h"
#include "port_extension.h"
#include "power.h"
#include "serial_paths.h"

namespace quenta {
namespace {

// Freed by unload and used for nothing else.
UNICODE_STRING DriverRegistryPath;

void NTAPI DriverUnload(PDRIVER_OBJECT) {
  if (DriverRegistryPath.Buffer) ExFreePool(DriverRegistryPath.Buffer);
  DriverRegistryPath.Buffer = nullptr;
  DriverRegistryPath.Length = DriverRegistryPath.MaximumLength = 0;
  DbgPrint("Driver Unloaded !\n");
}

}  // namespace
}  // namespace quenta

// The loader looks the entry point up by its C name; everything else lives in namespace quenta.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  using namespace quenta;
  DeviceNumberMap = 0;
  USHORT bytes = USHORT(registryPath->Length + sizeof(WCHAR));
  DriverRegistryPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, PortPoolTag));
  if (!DriverRegistryPath.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  DriverRegistryPath.Length = 0;
  DriverRegistryPath.MaximumLength = bytes;
  RtlCopyUnicodeString(&DriverRegistryPath, registryPath);

  driver->DriverUnload = DriverUnload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = OpenDispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
  driver->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
  driver->MajorFunction[IRP_MJ_READ] = ReadDispatch;
  driver->MajorFunction[IRP_MJ_WRITE] = WriteDispatch;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushDispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDeviceControlDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
  driver->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
  return STATUS_SUCCESS;
}
