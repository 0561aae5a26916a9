// Settings requests. Lock: ControlLock; the settings the receive path reads are written holding
// ReceiveLock too (see port_extension.h).
#include "settings_requests.h"

#include "spin_lock_held.h"

namespace quenta {

namespace {

// LineControl in UART register form: bits 0-1 word length - 5, bit 2 extra stop bits, bits 3-5
// parity (indexed by NO_PARITY ... SPACE_PARITY), bit 6 break.
constexpr UCHAR WordLengthBits = 0x03;
constexpr UCHAR ExtraStopBits = 0x04;
constexpr UCHAR ParityBits = 0x38;
constexpr UCHAR BreakBit = 0x40;
constexpr UCHAR ParityEncoding[] = {0x00, 0x08, 0x18, 0x28, 0x38};

// For a setting the receive path reads: ControlLock, then ReceiveLock.
struct SettingLocksHeld {
  explicit SettingLocksHeld(PortExtension* port) : control(&port->ControlLock), receive(&port->ReceiveLock) {}
  SpinLockHeld control;
  SpinLockHeldAtDpcLevel receive;
};

NTSTATUS ChangeDtrRts(PortExtension* port, ULONG set, ULONG clear) {
  SpinLockHeld held(&port->ControlLock);
  port->DtrRts = (port->DtrRts | set) & ~clear;
  return STATUS_SUCCESS;
}

NTSTATUS Unsupported(const char* text) {
  DbgPrint("%s", text);
  return STATUS_SUCCESS;
}

}  // namespace

// Any value: nothing is clocked by it. SERIAL_BAUD_RATE is the one ULONG.
NTSTATUS SetBaudRate(PortExtension* port, ControlBuffer& io) {
  return StoreUnder(&port->ControlLock, port->CurrentBaud, io.In<SERIAL_BAUD_RATE>().BaudRate);
}

NTSTATUS GetBaudRate(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ControlLock, port->CurrentBaud, io);
}

NTSTATUS SetLineControl(PortExtension* port, ControlBuffer& io) {
  auto line = io.In<SERIAL_LINE_CONTROL>();
  bool fiveBits = line.WordLength == 5;
  if (line.WordLength < 5 || line.WordLength > 8 || line.Parity > SPACE_PARITY ||
      (line.StopBits == STOP_BITS_1_5 && !fiveBits) || (line.StopBits == STOP_BITS_2 && fiveBits) ||
      line.StopBits > STOP_BITS_2)
    return STATUS_INVALID_PARAMETER;
  UCHAR bits = UCHAR(line.WordLength - 5) | ParityEncoding[line.Parity] | (line.StopBits ? ExtraStopBits : 0);
  SpinLockHeld held(&port->ControlLock);
  port->LineControl = UCHAR((port->LineControl & BreakBit) | bits);
  return STATUS_SUCCESS;
}

NTSTATUS GetLineControl(PortExtension* port, ControlBuffer& io) {
  UCHAR bits;
  {
    SpinLockHeld held(&port->ControlLock);
    bits = port->LineControl;
  }
  SERIAL_LINE_CONTROL line = {};
  line.WordLength = UCHAR((bits & WordLengthBits) + 5);
  for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity)
    if ((bits & ParityBits) == ParityEncoding[parity]) line.Parity = parity;
  line.StopBits = !(bits & ExtraStopBits) ? STOP_BIT_1 : line.WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
  io.Out(line);
  return STATUS_SUCCESS;
}

NTSTATUS SetChars(PortExtension* port, ControlBuffer& io) {
  auto chars = io.In<SERIAL_CHARS>();  // taken as given: XonChar may equal XoffChar
  SettingLocksHeld held(port);
  port->SpecialChars = chars;
  return STATUS_SUCCESS;
}

NTSTATUS GetChars(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ControlLock, port->SpecialChars, io);
}

NTSTATUS SetHandflow(PortExtension* port, ControlBuffer& io) {
  auto flow = io.In<SERIAL_HANDFLOW>();
  SettingLocksHeld held(port);
  if ((flow.ControlHandShake & SERIAL_CONTROL_INVALID) || (flow.FlowReplace & SERIAL_FLOW_INVALID) ||
      (flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || flow.XonLimit < 0 ||
      ULONG(flow.XonLimit) > port->RingSize || flow.XoffLimit < 0 || ULONG(flow.XoffLimit) > port->RingSize)
    return STATUS_INVALID_PARAMETER;
  port->HandFlow = flow;
  return STATUS_SUCCESS;
}

NTSTATUS GetHandflow(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ControlLock, port->HandFlow, io);
}

NTSTATUS SetTimeouts(PortExtension* port, ControlBuffer& io) {
  auto timeouts = io.In<SERIAL_TIMEOUTS>();
  if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
      timeouts.ReadTotalTimeoutConstant == MAXULONG)
    return STATUS_INVALID_PARAMETER;
  return StoreUnder(&port->ControlLock, port->Timeouts, timeouts);  // current requests keep their timers
}

NTSTATUS GetTimeouts(PortExtension* port, ControlBuffer& io) {
  return AnswerWithCopy(&port->ControlLock, port->Timeouts, io);
}

NTSTATUS SetDtr(PortExtension* port, ControlBuffer&) { return ChangeDtrRts(port, SERIAL_DTR_STATE, 0); }
NTSTATUS ClearDtr(PortExtension* port, ControlBuffer&) { return ChangeDtrRts(port, 0, SERIAL_DTR_STATE); }
NTSTATUS SetRts(PortExtension* port, ControlBuffer&) { return ChangeDtrRts(port, SERIAL_RTS_STATE, 0); }
NTSTATUS ClearRts(PortExtension* port, ControlBuffer&) { return ChangeDtrRts(port, 0, SERIAL_RTS_STATE); }

NTSTATUS SetXoff(PortExtension* port, ControlBuffer&) {
  DbgPrint("Need  IOCTL_SERIAL_SET_XOFF !!!\n");
  SpinLockHeld held(&port->ReceiveLock);
  port->TxHolding |= SERIAL_TX_WAITING_FOR_XON;
  return STATUS_SUCCESS;
}

NTSTATUS SetXon(PortExtension* port, ControlBuffer&) {
  DbgPrint("Need  IOCTL_SERIAL_SET_XON !!!\n");
  SpinLockHeld held(&port->ReceiveLock);
  port->TxHolding &= ~SERIAL_TX_WAITING_FOR_XON;
  return STATUS_SUCCESS;
}

NTSTATUS SetBreakOn(PortExtension*, ControlBuffer&) { return Unsupported("Need  IOCTL_SERIAL_SET_BREAK_ON !!!\n"); }
NTSTATUS SetBreakOff(PortExtension*, ControlBuffer&) { return Unsupported("Need  IOCTL_SERIAL_SET_BREAK_OFF !!!\n"); }
NTSTATUS ResetDevice(PortExtension*, ControlBuffer&) { return Unsupported("Need  IOCTL_SERIAL_RESET_DEVICE !!!\n"); }
NTSTATUS SetFifoControl(PortExtension*, ControlBuffer&) { return Unsupported("Need IOCTL_SERIAL_SET_FIFO_CONTROL\n"); }
NTSTATUS LsrMstInsert(PortExtension*, ControlBuffer&) { return Unsupported("Need IOCTL_SERIAL_LSRMST_INSERT\n"); }

NTSTATUS GetModemControl(PortExtension* port, ControlBuffer& io) {
  ULONG control;
  {
    SpinLockHeld held(&port->ControlLock);
    control = port->ModemControl;
  }
  io.Out(control);
  return STATUS_SUCCESS;
}

NTSTATUS SetModemControl(PortExtension* port, ControlBuffer& io) {
  return StoreUnder(&port->ControlLock, port->ModemControl, UCHAR(io.In<ULONG>()));
}

NTSTATUS XoffCounter(PortExtension*, ControlBuffer& io) {
  if (io.In<SERIAL_XOFF_COUNTER>().Counter <= 0) return STATUS_INVALID_PARAMETER;
  return Unsupported("Need IOCTL_SERIAL_XOFF_COUNTER\n");  // nothing is sent
}

NTSTATUS GetConfigSize(PortExtension*, ControlBuffer& io) {
  io.Out(ULONG(0));
  return STATUS_SUCCESS;
}

}  // namespace quenta
