// Bulk transfers. BulkTransferComplete runs at IRQL <= DISPATCH_LEVEL on any processor,
// concurrently with cancel routines and DPCs. Lock: ReceiveLock around the delivery of data.
#include "usb_transfers.h"

#include "entry_irql.h"
#include "receive_ring.h"
#include "request_gate.h"
#include "serial_paths.h"
#include "usb_configuration.h"

namespace quenta {

namespace {

PIRP* SlotOf(PortExtension* port, TransferDirection direction) {
  return direction == ReceiveDirection ? &port->RxIrp : &port->TxIrp;
}

volatile LONG* DoneFlagOf(PortExtension* port, TransferDirection direction) {
  return direction == ReceiveDirection ? &port->RxIrpDone : &port->TxIrpDone;
}

TransferBlock* BlockOf(PortExtension* port, TransferDirection direction) {
  return direction == ReceiveDirection ? port->RxTransferBlock : port->TxTransferBlock;
}

// The first of the two parties of a hand-off leaves the rest to the second: TRUE for the second,
// which puts the flag back to rest.
BOOLEAN SecondToHandOff(PortExtension* port, TransferDirection direction) {
  if (!InterlockedExchange(DoneFlagOf(port, direction), 1)) return FALSE;
  InterlockedExchange(DoneFlagOf(port, direction), 0);
  return TRUE;
}

void DirectionIdle(PortExtension* port, TransferDirection direction) {
  bool receive = direction == ReceiveDirection;
  if (InterlockedDecrement(receive ? &port->RxOutstanding : &port->TxOutstanding) == 0)
    KeSetEvent(receive ? &port->RxIdleEvent : &port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
}

void FinishReceive(PortExtension* port, TransferBlock* block, NTSTATUS status) {
  USBD_STATUS urbStatus = block->Urb.Hdr.Status;
  ULONG count = block->Urb.TransferBufferLength;
  if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) AddErrorBits(port, DeviceErrorLatch);
  if (NT_SUCCESS(status) && urbStatus == 0) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ReceiveLock, &irql);
    DeliverReceived(port, block->Data, count < MaxBulkTransfer ? count : MaxBulkTransfer);
    KeReleaseSpinLock(&port->ReceiveLock, irql);
  }
  if (NT_SUCCESS(status) || status == STATUS_CANCELLED)
    RestartReceive(port);
  else
    DbgPrint("Abort hook read !\n");
}

void FinishTransmit(PortExtension* port, TransferBlock* block, NTSTATUS status) {
  if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) AddErrorBits(port, DeviceErrorLatch);
  // Every outcome goes to the transmit path: the request the transfer carried must learn that
  // nothing is in flight for it any more, whatever the status.
  OnTransmitComplete(port, status, block->Urb.Hdr.Status, block->Urb.TransferBufferLength);
}

// Everything after the hand-off: the IRP is freed, the data and the next transfer are dealt
// with, and the transfer is counted out last (once the count reaches 0, close or removal may
// free the block and the port). Run by the second party of the hand-off, so the direction's
// next transfer never starts while this one's hand-off is still under way.
void FinishTransfer(PortExtension* port, TransferDirection direction, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  TransferBlock* block = BlockOf(port, direction);
  if (direction == ReceiveDirection)
    FinishReceive(port, block, status);
  else
    FinishTransmit(port, block, status);
  DirectionIdle(port, direction);
}

// The driver owns the IRP: it is freed after the hand-off, never completed further. device is
// null (the IRP was allocated here, with no stack location of its own): the port comes from
// the block.
NTSTATUS NTAPI BulkTransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  AssertCompletionEntry();
  auto block = static_cast<TransferBlock*>(context);
  PortExtension* port = PortOf(block->DeviceObject);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG flags = block->Urb.TransferFlags;
  if (!NT_SUCCESS(status)) {
    if (status == STATUS_CANCELLED)
      DbgPrint("USB Bus Request canceled !\n");
    else if (status == STATUS_DEVICE_DATA_ERROR)
      DbgPrint("USB Bus device data error !\n");
    else
      DbgPrint("USB Bus terminated abnormal %d,Maybe should wait some time ...status: %x", int(flags),
               unsigned(status));
  }
  TransferDirection direction = (flags & USBD_TRANSFER_DIRECTION_IN) ? ReceiveDirection : TransmitDirection;
  // Nobody is cancelling when the IRP is still in its slot; otherwise the canceller may still be
  // calling IoCancelIrp on it, and the second of the two finishes.
  if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(SlotOf(port, direction)), nullptr) ||
      SecondToHandOff(port, direction))
    FinishTransfer(port, direction, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Submit(PortExtension* port, TransferBlock* block, ULONG pipeIndex, BOOLEAN* handedDown) {
  PIRP irp = IoAllocateIrp(port->LowerDeviceObject->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  *handedDown = TRUE;  // from here on the completion routine runs, whatever the bus answers
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &block->Urb;
  block->DeviceObject = port->DeviceObject;
  block->Irp = irp;
  bool receive = pipeIndex == ReceivePipe;
  if (InterlockedIncrement(receive ? &port->RxOutstanding : &port->TxOutstanding) == 1)
    KeClearEvent(receive ? &port->RxIdleEvent : &port->TxIdleEvent);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(receive ? &port->RxIrp : &port->TxIrp), irp);
  IoSetCompletionRoutine(irp, BulkTransferComplete, block, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(port->LowerDeviceObject, irp);
  if (!NT_SUCCESS(status)) {
    // The status goes along as the second argument although the text has no place for it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    DbgPrint("Will try to reset pipe %d ntStatus:\n", int(pipeIndex), unsigned(status));
#pragma GCC diagnostic pop
    // The resets wait for the bus, which only passive level may do; a transfer restarted from
    // a completion routine leaves the recovery to the next open.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && !NT_SUCCESS(ResetPipe(port, pipeIndex))) {
      DbgPrint("Will try to reset device \n");
      CheckAndResetPort(port);
    }
  }
  return status;
}

}  // namespace

NTSTATUS AllocateTransferBlocks(PortExtension* port) {
  port->RxTransferBlock =
      static_cast<TransferBlock*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferBlock), PortPoolTag));
  if (!port->RxTransferBlock) {
    DbgPrint("ExAllocatePool RX Buffer Error !\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  port->TxTransferBlock =
      static_cast<TransferBlock*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferBlock), PortPoolTag));
  if (!port->TxTransferBlock) {
    DbgPrint("ExAllocatePool TX Buffer Error !\n");
    FreeTransferBlocks(port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void FreeTransferBlocks(PortExtension* port) {
  if (port->RxTransferBlock) ExFreePool(port->RxTransferBlock);
  if (port->TxTransferBlock) ExFreePool(port->TxTransferBlock);
  port->RxTransferBlock = nullptr;
  port->TxTransferBlock = nullptr;
}

NTSTATUS SendBulk(PortExtension* port, ULONG pipeIndex, const UCHAR* data, ULONG length, BOOLEAN* handedDown) {
  BOOLEAN ignored;
  if (!handedDown) handedDown = &ignored;
  *handedDown = FALSE;
  TransferBlock* block = pipeIndex == TransmitPipe ? port->TxTransferBlock : port->RxTransferBlock;
  if (!block || !port->InterfaceInfo || pipeIndex >= port->InterfaceInfo->NumberOfPipes)
    return STATUS_INVALID_DEVICE_STATE;
  if (length > MaxBulkTransfer) length = MaxBulkTransfer;
  ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  if (pipeIndex == TransmitPipe) {
    RtlCopyMemory(block->Data, data, length);
    flags = 0;
  }
  RtlZeroMemory(&block->Urb, sizeof block->Urb);
  block->Urb.Hdr.Length = USHORT(sizeof block->Urb);
  block->Urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  block->Urb.PipeHandle = port->InterfaceInfo->Pipes[pipeIndex].PipeHandle;
  block->Urb.TransferFlags = flags;
  block->Urb.TransferBufferLength = length;
  block->Urb.TransferBuffer = block->Data;
  block->Urb.TransferBufferMDL = nullptr;
  block->Urb.UrbLink = nullptr;
  return Submit(port, block, pipeIndex, handedDown);
}

PIRP TakeTransferForCancel(PortExtension* port, TransferDirection direction) {
  return static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(SlotOf(port, direction)), nullptr));
}

void CancelTakenTransfer(PortExtension* port, TransferDirection direction, PIRP irp) {
  if (!irp) return;  // nothing was in flight, or its completion had already taken it
  IoCancelIrp(irp);
  if (SecondToHandOff(port, direction)) FinishTransfer(port, direction, irp);
}

void CancelTransfer(PortExtension* port, TransferDirection direction) {
  CancelTakenTransfer(port, direction, TakeTransferForCancel(port, direction));
}

}  // namespace quenta
