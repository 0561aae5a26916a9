// The receive ring. Lock: ReceiveLock guards the ring and the direct fill against the bulk-IN
// completion; the geometry changes also hold ControlLock.
#include "receive_ring.h"

#include "dpc_accounting.h"
#include "request_gate.h"
#include "request_queues.h"
#include "usb_configuration.h"
#include "usb_transfers.h"
#include "wait_mask.h"

namespace quenta {

namespace {

constexpr ULONG SmallRing = 128;
constexpr ULONG MediumRing = 1024;
constexpr ULONG LargeRing = 4096;

PUCHAR ReadBuffer(PIRP read) { return static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer); }
ULONG ReadLength(PIRP read) { return IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length; }

void SetGeometry(PortExtension* port, PUCHAR base, ULONG size, ULONG chars) {
  port->RingBase = port->FillBase = port->FirstReadableChar = base;
  port->RingSize = size;
  port->LastCharSlot = base + size - 1;
  port->CharsInRing = chars;
  port->CurrentCharSlot = base + chars;
  port->HandFlow.XonLimit = LONG(size / 2);
  port->HandFlow.XoffLimit = LONG(size / 8);
  port->RingHighWater = size / 4 * 3 + size / 16;
}

// Copies count ring bytes starting at from into target, across the wrap; returns where the
// next byte would be read.
PUCHAR CopyOutOfRing(const PortExtension* port, PUCHAR from, PUCHAR target, ULONG count) {
  ULONG first = ULONG(port->LastCharSlot - from + 1);
  if (count < first) first = count;
  RtlCopyMemory(target, from, first);
  if (first == count) return from + count == port->LastCharSlot + 1 ? port->RingBase : from + count;
  RtlCopyMemory(target + first, port->RingBase, count - first);
  return port->RingBase + (count - first);
}

// Ring mode: as many bytes as fit, the rest counted as overrun. The byte that takes the ring to
// its high-water mark raises SERIAL_EV_RX80FULL once.
ULONG StoreInRing(PortExtension* port, const UCHAR* bytes, ULONG count) {
  ULONG room = port->RingSize - port->CharsInRing;
  ULONG stored = count < room ? count : room;
  ULONG first = ULONG(port->LastCharSlot - port->CurrentCharSlot + 1);
  if (stored < first) first = stored;
  RtlCopyMemory(port->CurrentCharSlot, bytes, first);
  RtlCopyMemory(port->RingBase, bytes + first, stored - first);
  port->CurrentCharSlot = stored - first ? port->RingBase + (stored - first) : port->CurrentCharSlot + first;
  if (port->CurrentCharSlot == port->LastCharSlot + 1) port->CurrentCharSlot = port->RingBase;
  ULONG before = port->CharsInRing;
  port->CharsInRing += stored;
  if (before < port->RingHighWater && port->CharsInRing >= port->RingHighWater) RaiseEvents(port, SERIAL_EV_RX80FULL);
  if (stored < count) {
    DbgPrint("We have a new character but no room for it !!!\n");
    port->PerfStats.BufferOverrunErrorCount += count - stored;
    AddErrorBits(port, SERIAL_ERROR_QUEUEOVERRUN);
    if (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) DbgPrint("We need abort write and read !!!\n");
  }
  return stored;
}

// Direct mode: into the waiting read's buffer; the byte that fills it sends the bytes after it
// to the ring and the read to its completion DPC.
ULONG StoreInRead(PortExtension* port, const UCHAR* bytes, ULONG count) {
  ULONG room = ULONG(port->LastCharSlot - port->CurrentCharSlot + 1);
  ULONG stored = count < room ? count : room;
  RtlCopyMemory(port->CurrentCharSlot, bytes, stored);
  port->ReadByDirectFill += stored;
  if (stored < room) {
    port->CurrentCharSlot += stored;
    return stored;
  }
  PIRP read = port->CurrentReadIrp;
  read->IoStatus.Information = ReadLength(read);
  FillRing(port);
  QueueDpc(port, &port->CompleteReadDpc);
  return stored;
}

// Data bytes, in order, into the read or the ring: PutReceivedChar for a run of bytes at once.
void PutReceivedChars(PortExtension* port, const UCHAR* bytes, ULONG count) {
  while (count) {
    bool direct = FillingReadDirectly(port);
    ULONG stored = direct ? StoreInRead(port, bytes, count) : StoreInRing(port, bytes, count);
    port->PerfStats.ReceivedCount += stored;
    if (!direct) return;  // what did not fit the ring was counted as overrun
    bytes += stored;
    count -= stored;
  }
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

void ResetRingGeometry(PortExtension* port) { SetGeometry(port, port->RingBase, port->RingSize, 0); }

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
  bool flowChars = (port->HandFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
  if (!flowChars && !port->WaitMask) {
    PutReceivedChars(port, bytes, count);  // no byte needs looking at
    return;
  }
  // Byte by byte for the events and the flow-control characters; the data bytes between two
  // flow-control characters are stored as one run.
  ULONG run = 0;
  for (ULONG i = 0; i < count; ++i) {
    UCHAR c = bytes[i];
    if (flowChars && (c == port->SpecialChars.XonChar || c == port->SpecialChars.XoffChar)) {
      PutReceivedChars(port, bytes + i - run, run);
      run = 0;
      // Only reported: writes are not held back.
      if (c == port->SpecialChars.XoffChar)
        port->TxHolding |= SERIAL_TX_WAITING_FOR_XON;
      else
        port->TxHolding &= ~SERIAL_TX_WAITING_FOR_XON;
      continue;
    }
    RaiseEvents(port, SERIAL_EV_RXCHAR | (c == port->SpecialChars.EventChar ? SERIAL_EV_RXFLAG : 0));
    ++run;
  }
  PutReceivedChars(port, bytes + count - run, run);
}

ULONG CopyFromRing(PortExtension* port, PIRP read) {
  ULONG count = port->CharsInRing < port->NumberNeededForRead ? port->CharsInRing : port->NumberNeededForRead;
  if (!count) return 0;
  PUCHAR target = ReadBuffer(read) + (ReadLength(read) - port->NumberNeededForRead);
  port->FirstReadableChar = CopyOutOfRing(port, port->FirstReadableChar, target, count);
  port->CharsInRing -= count;
  port->NumberNeededForRead -= count;
  read->IoStatus.Information += count;
  return count;
}

void FillReadDirectly(PortExtension* port, PIRP read) {
  PUCHAR buffer = ReadBuffer(read);
  port->ReadByDirectFill = 0;
  port->FillBase = buffer;
  port->CurrentCharSlot = buffer + read->IoStatus.Information;
  port->LastCharSlot = buffer + ReadLength(read) - 1;
}

void FillRing(PortExtension* port) {
  port->FillBase = port->CurrentCharSlot = port->FirstReadableChar = port->RingBase;
  port->LastCharSlot = port->RingBase + port->RingSize - 1;
  port->CharsInRing = 0;
}

void ResizeRing(PortExtension* port, PIRP request) {
  auto grown = static_cast<PUCHAR>(CarriedRingBuffer(request));
  CarriedRingBuffer(request) = nullptr;
  SERIAL_QUEUE_SIZE size;
  RtlCopyMemory(&size, request->AssociatedIrp.SystemBuffer, sizeof size);
  PUCHAR unused = grown;
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (port->RingBase && size.InSize > port->RingSize) {
    if (port->CharsInRing) CopyOutOfRing(port, port->FirstReadableChar, grown, port->CharsInRing);
    unused = port->RingBase;
    SetGeometry(port, grown, size.InSize, port->CharsInRing);
  }
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  KeReleaseSpinLock(&port->ControlLock, irql);
  if (unused) ExFreePool(unused);
  request->IoStatus.Information = 0;
}

void PurgeReceive(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (port->RingBase && !FillingReadDirectly(port)) FillRing(port);
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  KeReleaseSpinLock(&port->ControlLock, irql);
}

NTSTATUS RestartReceive(PortExtension* port) {
  if (!ReadUCharAcquire(&port->PortOpen) || ReadUCharAcquire(&port->Aborting)) return STATUS_SUCCESS;
  return SendBulk(port, ReceivePipe, nullptr, MaxBulkTransfer);
}

}  // namespace quenta
