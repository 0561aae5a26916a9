// IRP_MJ_INTERNAL_DEVICE_CONTROL: the four internal serial requests other kernel components send
// (wait-wake, and the settings a component saves before it uses the port and restores after).
#include "control_buffer.h"
#include "entry_irql.h"
#include "power.h"
#include "request_gate.h"
#include "serial_paths.h"
#include "spin_lock_held.h"

namespace quenta {

namespace {

// Wake is possible when some sleeping state S1 to S5 maps to a device state the device can still
// wake the system from.
bool CanWake(const PortExtension* port) {
  for (ULONG state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
    ULONG device = port->SystemToDeviceMap[state];
    if (device > PowerDeviceUnspecified && device <= port->DeviceWake) return true;
  }
  return false;
}

// Hands out the settings and clears the time-outs, so that the component's reads and writes
// do not wait for them.
NTSTATUS BasicSettings(PortExtension* port, ControlBuffer& io) {
  SERIAL_BASIC_SETTINGS settings = {};
  {
    SpinLockHeld held(&port->ControlLock);
    settings.Timeouts = port->Timeouts;
    settings.HandFlow = port->HandFlow;
    RtlZeroMemory(&port->Timeouts, sizeof port->Timeouts);
  }
  settings.RxFifo = 1;
  settings.TxFifo = port->TxFifoAmount;
  io.Out(settings);
  return STATUS_SUCCESS;
}

NTSTATUS RestoreSettings(PortExtension* port, ControlBuffer& io) {
  auto settings = io.In<SERIAL_BASIC_SETTINGS>();
  SpinLockHeld held(&port->ControlLock);
  port->Timeouts = settings.Timeouts;
  return STATUS_SUCCESS;
}

NTSTATUS Answer(PortExtension* port, ULONG code, ControlBuffer& io) {
  switch (code) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
      if (CanWake(port)) port->WaitWakeEnabled = TRUE;
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
      port->WaitWakeEnabled = FALSE;
      CancelWaitWake(port);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
      if (io.OutputLength < sizeof(SERIAL_BASIC_SETTINGS)) return STATUS_BUFFER_TOO_SMALL;
      return BasicSettings(port, io);
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
      if (io.InputLength < sizeof(SERIAL_BASIC_SETTINGS)) return STATUS_BUFFER_TOO_SMALL;
      return RestoreSettings(port, io);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ControlBuffer io = {static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                      stack->Parameters.DeviceIoControl.InputBufferLength,
                      stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  NTSTATUS status = Answer(port, stack->Parameters.DeviceIoControl.IoControlCode, io);
  return FinishRequest(port, irp, status, NT_SUCCESS(status) ? io.Information : 0);
}

}  // namespace quenta
