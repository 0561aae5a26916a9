// Status requests. Locks as in port_extension.h: the cancel spin lock for the queues and the
// transmit side, ReceiveLock for the ring, the events, TxHolding and PerfStats.
#include "status_requests.h"

#include "spin_lock_held.h"

namespace quenta {

namespace {

// TxHolding's bits as SERIAL_STATUS.HoldReasons: the same values, but break (0x10) moves up.
constexpr ULONG TxHeldForBreak = 0x10;
constexpr ULONG TxHoldReasonsAsIs =
    SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_FOR_XON;

// Cancel spin lock held: the bytes of writes not yet accepted by the device, and the immediate
// character's.
ULONG BytesNotYetSent(const PortExtension* port) {
  LONG queued = port->TotalCharsQueued;
  PIRP write = port->CurrentWriteIrp;
  if (write && IoGetCurrentIrpStackLocation(write)->MajorFunction == IRP_MJ_WRITE &&
      port->WriteCompletion.Side != DataSideIdle)
    queued -= LONG(IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length - port->WriteLength);
  return queued > 0 ? ULONG(queued) : 0;
}

}  // namespace

NTSTATUS GetWaitMask(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ReceiveLock, port->WaitMask, io);
}

NTSTATUS GetModemStatus(PortExtension*, ControlBuffer& io) {
  io.Out(ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
  return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(PortExtension* port, ControlBuffer& io) {
  SERIAL_STATUS status = {};
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  status.Errors = ULONG(InterlockedExchange(reinterpret_cast<volatile LONG*>(&port->ErrorWord), 0));
  ULONG holding;
  {
    SpinLockHeldAtDpcLevel held(&port->ReceiveLock);
    holding = port->TxHolding;
    status.AmountInInQueue = port->CharsInRing;
  }
  status.HoldReasons = (holding & TxHoldReasonsAsIs) | (holding & TxHeldForBreak ? SERIAL_TX_WAITING_ON_BREAK : 0);
  status.AmountInOutQueue = BytesNotYetSent(port);
  status.EofReceived = FALSE;
  status.WaitForImmediate = port->ImmediateInFlight;
  IoReleaseCancelSpinLock(irql);
  io.Out(status);
  return STATUS_SUCCESS;
}

NTSTATUS GetProperties(PortExtension* port, ControlBuffer& io) {
  SERIAL_COMMPROP properties = {};
  properties.PacketLength = sizeof properties;
  properties.PacketVersion = 2;
  properties.ServiceMask = SERIAL_SP_SERIALCOMM;
  properties.MaxBaud = SERIAL_BAUD_USER;
  properties.ProvSubType = SERIAL_SP_RS232;
  properties.ProvCapabilities = 0xFF;
  properties.SettableParams = 0x7F;
  properties.SettableData = 0x000F;
  properties.SettableStopParity = 0x1F07;
  {
    SpinLockHeld held(&port->ControlLock);
    properties.SettableBaud = port->SupportedBauds;
    properties.CurrentRxQueue = port->RingSize;
  }
  io.Out(properties);
  return STATUS_SUCCESS;
}

NTSTATUS GetDtrRts(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ControlLock, port->DtrRts, io);
}

NTSTATUS GetStats(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ReceiveLock, port->PerfStats, io);
}

NTSTATUS ClearStats(PortExtension* port, ControlBuffer&) {
  SpinLockHeld held(&port->ReceiveLock);
  RtlZeroMemory(&port->PerfStats, sizeof port->PerfStats);
  return STATUS_SUCCESS;
}

}  // namespace quenta
