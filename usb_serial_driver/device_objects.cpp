// Device creation. AddDevice runs at PASSIVE_LEVEL; DeviceNumberMap changes with interlocked
// operations, as devices come and go independently.
#include "device_objects.h"

namespace quenta {

volatile LONG DeviceNumberMap;

namespace {

constexpr USHORT NameBufferUsable = 256;  // bytes

// The lowest free number. When all 32 are taken the answer is 0 without taking it, and the
// device's name then collides with device 0's.
BOOLEAN TakeDeviceNumber(ULONG* number) {
  for (;;) {
    ULONG map = ULONG(ReadLongAcquire(&DeviceNumberMap));
    ULONG lowest = 0;
    while (lowest < 32 && (map & (1u << lowest))) ++lowest;
    if (lowest == 32) {
      *number = 0;
      return FALSE;
    }
    if (InterlockedCompareExchange(&DeviceNumberMap, LONG(map | (1u << lowest)), LONG(map)) == LONG(map)) {
      *number = lowest;
      return TRUE;
    }
  }
}

void ReleaseDeviceNumber(ULONG number) {
  for (;;) {
    ULONG map = ULONG(ReadLongAcquire(&DeviceNumberMap));
    if (InterlockedCompareExchange(&DeviceNumberMap, LONG(map & ~(1u << number)), LONG(map)) == LONG(map)) return;
  }
}

void InitializePort(PortExtension* port, PDEVICE_OBJECT device, PDRIVER_OBJECT driver) {
  port->DeviceObject = device;
  port->DriverObject = driver;
  WriteUCharRelease(&port->PortOpen, FALSE);
  port->DevicePowerState = PowerDeviceD0;
  port->TxFifoAmount = 1;
  port->OwnsPowerPolicy = TRUE;
  InitializeListHead(&port->ReadQueue);
  InitializeListHead(&port->WriteQueue);
  InitializeListHead(&port->MaskQueue);
  InitializeListHead(&port->StallQueue);
  InitializeListHead(&port->PurgeQueue);
  ExInitializeFastMutex(&port->OpenMutex);
  ExInitializeFastMutex(&port->CloseMutex);
  KeInitializeSpinLock(&port->ControlLock);
  KeInitializeSpinLock(&port->FlagsLock);
  KeInitializeSpinLock(&port->ReceiveLock);
  KeInitializeEvent(&port->PendingRequestsDone, SynchronizationEvent, FALSE);
  KeInitializeEvent(&port->PendingDpcsDone, SynchronizationEvent, FALSE);
  KeInitializeEvent(&port->PowerCompletionEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&port->LowerCompletionEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&port->RxIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&port->TxIdleEvent, NotificationEvent, TRUE);
}

// \Device\tavrinusb<number>, its PortExtension and the copy of the name kept in ValueName.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT driver, ULONG number, PDEVICE_OBJECT* created) {
  UNICODE_STRING name;
  name.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NameBufferUsable + sizeof(WCHAR), PortPoolTag));
  if (!name.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(name.Buffer, NameBufferUsable + sizeof(WCHAR));
  name.Length = 0;
  name.MaximumLength = NameBufferUsable;
  WCHAR digits[12];
  UNICODE_STRING numberText;
  numberText.Buffer = digits;
  numberText.Length = 0;
  numberText.MaximumLength = sizeof digits;
  RtlAppendUnicodeToString(&name, KTEXT("\\Device\\tavrinusb"));
  RtlIntegerToUnicodeString(number, 10, &numberText);
  RtlAppendUnicodeStringToString(&name, &numberText);

  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  if (!NT_SUCCESS(status)) {
    ExFreePool(name.Buffer);
    return status;
  }
  PortExtension* port = PortOf(device);
  RtlZeroMemory(port, sizeof *port);
  port->DeviceNumber = number;
  port->PendingRequestCount = 1;
  port->PendingDpcCount = 1;
  port->ValueName.Buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, name.Length + sizeof(WCHAR), PortPoolTag));
  if (!port->ValueName.Buffer) {
    ExFreePool(name.Buffer);
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  port->ValueName.Length = 0;
  port->ValueName.MaximumLength = USHORT(name.Length + sizeof(WCHAR));
  RtlCopyUnicodeString(&port->ValueName, &name);
  InitializePort(port, device, driver);
  ExFreePool(name.Buffer);
  *created = device;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  if (!physical) return STATUS_NO_MORE_ENTRIES;
  ULONG number;
  BOOLEAN taken = TakeDeviceNumber(&number);
  PDEVICE_OBJECT device;
  NTSTATUS status = CreatePortDevice(driver, number, &device);
  if (!NT_SUCCESS(status)) {
    if (taken) ReleaseDeviceNumber(number);
    return status;
  }
  PortExtension* port = PortOf(device);
  port->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, physical);
  if (!port->LowerDeviceObject) {
    ExFreePool(port->ValueName.Buffer);
    IoDeleteDevice(device);
    ReleaseDeviceNumber(number);
    return STATUS_NO_SUCH_DEVICE;
  }
  port->PhysicalDeviceObject = physical;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void DeleteDeviceObject(PortExtension* port) {
  ULONG number = port->DeviceNumber;
  IoDeleteDevice(port->DeviceObject);
  ReleaseDeviceNumber(number);
}

}  // namespace quenta
