// The receive ring. Lock: ReceiveLock guards the ring against the bulk-IN completion.
#include "receive_ring.h"

#include "request_gate.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

constexpr ULONG SmallRing = 128;
constexpr ULONG MediumRing = 1024;
constexpr ULONG LargeRing = 4096;

// Ring mode: the byte goes into the ring, or is counted as an overrun when the ring is full.
// (While a read waits, the read path stores straight into its buffer instead.)
void PutReceivedChar(PortExtension* port, UCHAR c) {
  if (port->CharsInRing >= port->RingSize) {
    DbgPrint("We have a new character but no room for it !!!\n");
    port->PerfStats.BufferOverrunErrorCount++;
    AddErrorBits(port, SERIAL_ERROR_QUEUEOVERRUN);
    if (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) DbgPrint("We need abort write and read !!!\n");
    return;
  }
  *port->CurrentCharSlot = c;
  port->CharsInRing++;
  port->CurrentCharSlot = port->CurrentCharSlot == port->LastCharSlot ? port->RingBase : port->CurrentCharSlot + 1;
}

}  // namespace

NTSTATUS AllocateReceiveRing(PortExtension* port) {
  static const ULONG largeSizes[] = {LargeRing, MediumRing, SmallRing};
  const ULONG* sizes = largeSizes;
  ULONG count = 3;
  switch (MmQuerySystemSize()) {
    case MmSmallSystem:
      sizes = largeSizes + 2;
      count = 1;
      break;
    case MmMediumSystem:
      sizes = largeSizes + 1;
      count = 2;
      break;
    default:
      break;
  }
  for (ULONG i = 0; i < count; ++i) {
    port->RingBase = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizes[i], PortPoolTag));
    if (port->RingBase) {
      port->RingSize = sizes[i];
      return STATUS_SUCCESS;
    }
  }
  port->RingSize = 0;
  return STATUS_INSUFFICIENT_RESOURCES;
}

void ResetRingGeometry(PortExtension* port) {
  ULONG size = port->RingSize;
  port->FillBase = port->FirstReadableChar = port->CurrentCharSlot = port->RingBase;
  port->LastCharSlot = port->RingBase + size - 1;
  port->CharsInRing = 0;
  port->HandFlow.XonLimit = LONG(size / 2);
  port->HandFlow.XoffLimit = LONG(size / 8);
  port->RingHighWater = size / 4 * 3 + size / 16;
}

void FreeReceiveRing(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ReceiveLock, &irql);
  PUCHAR ring = port->RingBase;
  port->RingBase = port->FillBase = port->CurrentCharSlot = port->LastCharSlot = port->FirstReadableChar = nullptr;
  port->RingSize = 0;
  port->CharsInRing = 0;
  KeReleaseSpinLock(&port->ReceiveLock, irql);
  if (ring) ExFreePool(ring);
}

void DeliverReceived(PortExtension* port, const UCHAR* bytes, ULONG count) {
  if (!port->RingBase) return;  // the port was closed under the transfer
  for (ULONG i = 0; i < count; ++i) PutReceivedChar(port, bytes[i]);
}

NTSTATUS RestartReceive(PortExtension* port) {
  if (!ReadUCharAcquire(&port->PortOpen) || ReadUCharAcquire(&port->Aborting)) return STATUS_SUCCESS;
  return SendBulk(port, ReceivePipe, nullptr, MaxBulkTransfer);
}

}  // namespace quenta
