// Until the read path, the write path and the serial request set are built, their requests pass
// the gate and are refused with STATUS_NOT_SUPPORTED, and their DPCs only end their count.
#include "dpc_accounting.h"
#include "request_gate.h"
#include "serial_paths.h"

namespace quenta {

namespace {

NTSTATUS NotYetServed(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  return FinishRequest(port, irp, STATUS_NOT_SUPPORTED);
}

void EndDpc(PVOID context) { DpcEnd(static_cast<PortExtension*>(context)); }

}  // namespace

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT device, PIRP irp) { return NotYetServed(device, irp); }
NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT device, PIRP irp) { return NotYetServed(device, irp); }
NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT device, PIRP irp) { return NotYetServed(device, irp); }
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp) { return NotYetServed(device, irp); }

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
  // Before the gate: the serial requests need an open port.
  if (!ReadUCharAcquire(&PortOf(device)->PortOpen)) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return NotYetServed(device, irp);
}

void NTAPI CompleteReadRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI TotalReadTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI IntervalReadTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI CompleteWriteRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI WriteTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI CompleteImmediateRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI ImmediateTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }
void NTAPI CommWaitRoutine(PKDPC, PVOID context, PVOID, PVOID) { EndDpc(context); }

void OnTransmitComplete(PortExtension*, NTSTATUS, USBD_STATUS, ULONG) {}

}  // namespace quenta
