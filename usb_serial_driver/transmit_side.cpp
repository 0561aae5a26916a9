#include "transmit_side.h"

#include "dpc_accounting.h"
#include "entry_irql.h"
#include "serial_paths.h"
#include "usb_transfers.h"
#include "wait_mask.h"

namespace quenta {

namespace {

// A cancel outranks a time-out: the request reports 0 bytes either way once cancelled.
void RecordAbortStatus(PendingCompletion& record, NTSTATUS status) {
  if (record.Status != STATUS_CANCELLED) record.Status = status;
}

}  // namespace

void FinishDataSide(PortExtension* port, const TransmitPath& path, ULONG_PTR information) {
  (port->*path.Completion).Side = DataSideFinishing;
  (port->*path.Current)->IoStatus.Information = information;
  QueueDpc(port, &(port->*path.CompletionDpc));
}

void AbortTransmitRequest(PortExtension* port, const TransmitPath& path, KIRQL irql, NTSTATUS status,
                          ULONG referenceBit) {
  PendingCompletion& record = port->*path.Completion;
  PIRP transfer = nullptr;
  switch (record.Side) {
    case DataSideSending:
      // Whoever takes the transfer out of its slot cancels it; its completion then finishes the
      // data side with this status.
      transfer = TakeTransferForCancel(port, TransmitDirection);
      [[fallthrough]];
    case DataSideReady:
      record.AbortPending = TRUE;
      [[fallthrough]];
    case DataSideStalled:  // the grab takes it back
      RecordAbortStatus(record, status);
      break;
    default:  // finishing or done already: its status stands
      break;
  }
  TryCompleteCurrent(port, path.Grab, irql, record.Status, &(port->*path.Current),
                     path.Queue ? &(port->*path.Queue) : nullptr, nullptr, &(port->*path.TotalTimer), path.Starter,
                     path.GetNext, referenceBit);
  CancelTakenTransfer(port, TransmitDirection, transfer);
}

void TransmitCompletionDpc(PVOID context, const TransmitPath& path) {
  AssertDpcEntry();
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PendingCompletion& record = port->*path.Completion;
  record.Side = DataSideIdle;
  record.AbortPending = FALSE;
  TryCompleteCurrent(port, nullptr, irql, record.Status, &(port->*path.Current),
                     path.Queue ? &(port->*path.Queue) : nullptr, nullptr, &(port->*path.TotalTimer), path.Starter,
                     path.GetNext, ReferenceDataSide);
  DpcEnd(port);
}

void TransmitTimeoutDpc(PVOID context, const TransmitPath& path) {
  AssertDpcEntry();
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  AbortTransmitRequest(port, path, irql, STATUS_TIMEOUT, ReferenceTotalTimer);
  DpcEnd(port);
}

void CheckTransmitEmpty(PortExtension* port) {
  if (!port->EmptiedTransmit || port->ImmediateInFlight || port->CurrentWriteIrp || !IsListEmpty(&port->WriteQueue))
    return;
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (port->WaitMask & SERIAL_EV_TXEMPTY) {
    port->EmptiedTransmit = FALSE;
    RaiseEvents(port, SERIAL_EV_TXEMPTY);
  }
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
}

void OnTransmitComplete(PortExtension* port, NTSTATUS status, USBD_STATUS urbStatus, ULONG count) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  UCHAR carrier = port->TxCarries;
  port->TxCarries = CarriesNothing;
  // The device accepted the bytes only with both statuses clean, and never more than were sent.
  bool accepted = NT_SUCCESS(status) && urbStatus == 0;
  ULONG sent = !accepted ? 0 : count < port->TxChunkLength ? count : port->TxChunkLength;
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  port->PerfStats.TransmittedCount += carrier == CarriesWrite ? sent : 0;
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  bool sendMore = false;
  if (carrier == CarriesWrite) sendMore = WriteTransferDone(port, accepted, sent);
  if (carrier == CarriesImmediate) ImmediateTransferDone(port, accepted, sent);
  IoReleaseCancelSpinLock(irql);
  if (sendMore) SendWriteBytes(port);
}

}  // namespace quenta
