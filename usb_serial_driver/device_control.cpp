// IRP_MJ_DEVICE_CONTROL: the serial request set, one table entry per request: the buffer
// lengths it needs, whether the device must be powered up first, and its handler. Requests that
// wait (wait mask, purge, queue size, immediate character) go to their queues; the others are
// answered at once.
#include "control_buffer.h"
#include "entry_irql.h"
#include "immediate_char.h"
#include "power.h"
#include "purge.h"
#include "read_path.h"
#include "request_gate.h"
#include "request_queues.h"
#include "serial_paths.h"
#include "settings_requests.h"
#include "spin_lock_held.h"
#include "status_requests.h"
#include "wait_mask.h"

namespace quenta {

namespace {

constexpr ULONG ValidWaitMask = 0x1FFF;
constexpr ULONG ValidPurgeMask =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// A request that is queued, or otherwise completes itself: returns the dispatch result.
typedef NTSTATUS (*QueuedHandler)(PortExtension* port, PIRP irp, ControlBuffer& io);

NTSTATUS SetWaitMaskRequest(PortExtension* port, PIRP irp, ControlBuffer& io) {
  if (io.In<ULONG>() & ~ValidWaitMask) return FinishRequest(port, irp, STATUS_INVALID_PARAMETER);
  return StartOrQueue(port, irp, &port->MaskQueue, &port->CurrentMaskIrp, StartMask);
}

NTSTATUS WaitOnMaskRequest(PortExtension* port, PIRP irp, ControlBuffer&) {
  return StartOrQueue(port, irp, &port->MaskQueue, &port->CurrentMaskIrp, StartMask);
}

NTSTATUS PurgeRequest(PortExtension* port, PIRP irp, ControlBuffer& io) {
  ULONG mask = io.In<ULONG>();
  if (!mask || (mask & ~ValidPurgeMask)) return FinishRequest(port, irp, STATUS_INVALID_PARAMETER);
  return StartOrQueue(port, irp, &port->PurgeQueue, &port->CurrentPurgeIrp, StartPurge);
}

// The ring only grows. The new buffer is charged to the caller's quota, and a failure to get it
// completes the request instead of raising.
NTSTATUS SetQueueSizeRequest(PortExtension* port, PIRP irp, ControlBuffer& io) {
  ULONG size = io.In<SERIAL_QUEUE_SIZE>().InSize;
  ULONG current;
  {
    SpinLockHeld held(&port->ControlLock);
    current = port->RingSize;
  }
  if (size <= current) return FinishRequest(port, irp, STATUS_SUCCESS);
  PVOID ring =
      ExAllocatePoolWithQuotaTag(POOL_TYPE(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), size, PortPoolTag);
  if (!ring) return FinishRequest(port, irp, STATUS_INSUFFICIENT_RESOURCES);
  CarriedRingBuffer(irp) = ring;
  return QueueSizeChange(port, irp);
}

NTSTATUS ImmediateCharRequest(PortExtension* port, PIRP irp, ControlBuffer&) { return SendImmediateChar(port, irp); }

struct ControlEntry {
  ULONG Code;
  ULONG MinInput;
  ULONG MinOutput;
  bool PowerUp;
  ControlHandler Answer;  // answered at once with its status
  QueuedHandler Queue;    // or queued
};

constexpr ControlEntry ControlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, true, SetBaudRate, nullptr},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, false, nullptr, SetQueueSizeRequest},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, true, SetLineControl, nullptr},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, true, SetBreakOn, nullptr},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, true, SetBreakOff, nullptr},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0, false, nullptr, ImmediateCharRequest},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, false, SetTimeouts, nullptr},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), false, GetTimeouts, nullptr},
    {IOCTL_SERIAL_SET_DTR, 0, 0, true, SetDtr, nullptr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, true, ClearDtr, nullptr},
    {IOCTL_SERIAL_SET_RTS, 0, 0, true, SetRts, nullptr},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, true, ClearRts, nullptr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, false, ResetDevice, nullptr},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, false, SetXoff, nullptr},
    {IOCTL_SERIAL_SET_XON, 0, 0, false, SetXon, nullptr},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), false, GetWaitMask, nullptr},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, false, nullptr, SetWaitMaskRequest},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), false, nullptr, WaitOnMaskRequest},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, false, nullptr, PurgeRequest},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), false, GetBaudRate, nullptr},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), false, GetLineControl, nullptr},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), false, GetChars, nullptr},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, false, SetChars, nullptr},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), false, GetHandflow, nullptr},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, false, SetHandflow, nullptr},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), false, GetModemStatus, nullptr},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), false, GetCommStatus, nullptr},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0, false, XoffCounter, nullptr},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), false, GetProperties, nullptr},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), false, GetDtrRts, nullptr},
    {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0, false, LsrMstInsert, nullptr},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG), false, GetConfigSize, nullptr},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), false, GetStats, nullptr},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, false, ClearStats, nullptr},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG), false, GetModemControl, nullptr},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0, true, SetModemControl, nullptr},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(ULONG), 0, true, SetFifoControl, nullptr},
};

const ControlEntry* FindControlEntry(ULONG code) {
  for (const ControlEntry& entry : ControlTable)
    if (entry.Code == code) return &entry;
  return nullptr;  // IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG and any other code
}

}  // namespace

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  // Before the gate: the serial requests need an open port.
  if (!ReadUCharAcquire(&port->PortOpen)) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ControlEntry* entry = FindControlEntry(stack->Parameters.DeviceIoControl.IoControlCode);
  if (!entry) return FinishRequest(port, irp, STATUS_INVALID_PARAMETER);
  ControlBuffer io = {static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                      stack->Parameters.DeviceIoControl.InputBufferLength,
                      stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  if (io.InputLength < entry->MinInput || io.OutputLength < entry->MinOutput)
    return FinishRequest(port, irp, STATUS_BUFFER_TOO_SMALL);
  if (entry->PowerUp && port->DevicePowerState != PowerDeviceD0) {
    NTSTATUS power = RequestDevicePower(port, PowerDeviceD0);
    if (!NT_SUCCESS(power)) return FinishRequest(port, irp, power);
  }
  if (entry->Queue) return entry->Queue(port, irp, io);
  NTSTATUS status = entry->Answer(port, io);
  return FinishRequest(port, irp, status, NT_SUCCESS(status) ? io.Information : 0);
}

}  // namespace quenta
