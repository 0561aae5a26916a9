// Plug and play and power for the bus's own device and for each handset's PDO.
#include "bus.h"

namespace test_usb_bus {
namespace {

const WCHAR DeviceId[] = L"USB\\VID_1234&PID_5678";
const WCHAR HardwareIds[] = L"USB\\VID_1234&PID_5678&REV_0100\0USB\\VID_1234&PID_5678\0";
const WCHAR CompatibleIds[] = L"USB\\Class_ff&SubClass_00&Prot_00\0USB\\Class_ff&SubClass_00\0USB\\Class_ff\0";
const WCHAR Description[] = L"Handset on the test USB bus";

// A copy in pool, which the plug-and-play manager frees.
PWCHAR PoolCopy(const WCHAR* text, SIZE_T bytes) {
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, BusPoolTag));
  if (copy) RtlCopyMemory(copy, text, bytes);
  return copy;
}

// The instance ID is the handset's instance number in decimal.
PWCHAR InstanceId(ULONG instance) {
  WCHAR digits[12];
  int count = 0;
  do {
    digits[count++] = WCHAR(L'0' + instance % 10);
    instance /= 10;
  } while (instance);
  WCHAR text[12];
  for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = 0;
  return PoolCopy(text, (count + 1) * sizeof(WCHAR));
}

NTSTATUS QueryId(Handset& handset, PIRP irp, BUS_QUERY_ID_TYPE type) {
  PWCHAR id = nullptr;
  switch (type) {
    case BusQueryDeviceID:
      id = PoolCopy(DeviceId, sizeof(DeviceId));
      break;
    case BusQueryInstanceID:
      id = InstanceId(handset.Instance);
      break;
    case BusQueryHardwareIDs:
      id = PoolCopy(HardwareIds, sizeof(HardwareIds));
      break;
    case BusQueryCompatibleIDs:
      id = PoolCopy(CompatibleIds, sizeof(CompatibleIds));
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (!id) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
  return STATUS_SUCCESS;
}

void FillCapabilities(const Handset& handset, PDEVICE_CAPABILITIES caps) {
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  caps->UniqueID = FALSE;
  caps->Address = handset.Instance;
  caps->UINumber = handset.Instance;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state)
    caps->DeviceState[state] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS HandsetPnp(Handset& handset, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(handset, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        PWCHAR text = PoolCopy(Description, sizeof(Description));
        status = text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        if (text) irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(handset, stack->Parameters.DeviceCapabilities.Capabilities);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BusPoolTag));
        if (!relations) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = handset.Pdo;
        ObReferenceObject(handset.Pdo);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // A handset still plugged in stays (the bus is going away); one pulled out is gone for good.
      KIRQL irql;
      KeAcquireSpinLock(&TheBus.Lock, &irql);
      const bool present = handset.Present;
      if (!present) RemoveEntryList(&handset.Link);
      KeReleaseSpinLock(&TheBus.Lock, irql);
      CompleteWith(irp, STATUS_SUCCESS);
      if (!present) {
        DbgPrint("usbbus: handset %u removed\n", handset.Instance);
        IoDeleteDevice(handset.Pdo);
      }
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  return CompleteWith(irp, status);
}

NTSTATUS HandsetPower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    status = STATUS_NOT_SUPPORTED;  // the handset cannot wake the system
  }
  PoStartNextPowerIrp(irp);
  return CompleteWith(irp, status);
}

NTSTATUS BusPnp(BusExtension& bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    // Every handset plugged in and not pulled out (the array is allocated before the lock is
    // taken, for more handsets than a function driver can name).
    const ULONG most = 64;
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + most * sizeof(PDEVICE_OBJECT), BusPoolTag));
    if (!relations) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&TheBus.Lock, &irql);
    for (PLIST_ENTRY entry = TheBus.Handsets.Flink; entry != &TheBus.Handsets && relations->Count < most;
         entry = entry->Flink) {
      Handset* handset = CONTAINING_RECORD(entry, Handset, Link);
      if (!handset->Present) continue;
      relations->Objects[relations->Count++] = handset->Pdo;
      ObReferenceObject(handset->Pdo);
    }
    KeReleaseSpinLock(&TheBus.Lock, irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(bus.Lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    TheBus.RootPdo = nullptr;
    IoDetachDevice(bus.Lower);
    IoDeleteDevice(bus.Self);
  }
  return status;
}

NTSTATUS BusPower(BusExtension& bus, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(bus.Lower, irp);
}

}  // namespace test_usb_bus
