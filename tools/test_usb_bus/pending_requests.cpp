// Requests the bus holds: pended with one cancel routine, taken off their list only when their
// cancel routine is not running, and completed after the bus lock is released.
#include "bus.h"

namespace test_usb_bus {
namespace {

void NTAPI CancelPended(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&TheBus.Lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&TheBus.Lock, irql);
  if (PURB urb = UrbOf(irp)) urb->UrbHeader.Status = USBD_STATUS_CANCELED;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

void InitializeCompletions(Completions& done) { InitializeListHead(&done.Irps); }

void Complete(Completions& done, PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  InsertTailList(&done.Irps, &irp->Tail.Overlay.ListEntry);
}

void CompleteAll(Completions& done) {
  while (!IsListEmpty(&done.Irps)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done.Irps), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

NTSTATUS FinishDispatch(PIRP irp, NTSTATUS status, Completions& done, bool pulledOut) {
  if (status != STATUS_PENDING) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  CompleteAll(done);
  if (pulledOut) InvalidateRelations();
  return status;
}

ULONG_PTR Progress(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]); }

void SetProgress(PIRP irp, ULONG_PTR bytes) { irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(bytes); }

void Pend(LIST_ENTRY& list, PIRP irp, Completions& done) {
  IoMarkIrpPending(irp);
  InsertTailList(&list, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelPended);
  // Cancelled before the routine was in place: nobody else will complete it.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    if (PURB urb = UrbOf(irp)) urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    Complete(done, irp, STATUS_CANCELLED, 0);
  }
}

PIRP First(LIST_ENTRY& list) {
  for (PLIST_ENTRY entry = list.Flink; entry != &list; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (irp->CancelRoutine) return irp;  // one without is being cancelled: its routine unlinks it
  }
  return nullptr;
}

bool Unpend(PIRP irp) {
  if (!IoSetCancelRoutine(irp, nullptr)) return false;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  return true;
}

PURB UrbOf(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
      stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return nullptr;
  }
  return static_cast<PURB>(stack->Parameters.Others.Argument1);
}

}  // namespace test_usb_bus
