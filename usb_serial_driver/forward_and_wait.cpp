#include "forward_and_wait.h"

#include "entry_irql.h"

namespace quenta {

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  AssertCompletionEntry();
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PortExtension* port, PIRP irp, PKEVENT event) {
  KeClearEvent(event);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEventCompletion, event, TRUE, TRUE, TRUE);
  bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  NTSTATUS status = power ? PoCallDriver(port->LowerDeviceObject, irp) : IoCallDriver(port->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

}  // namespace quenta
