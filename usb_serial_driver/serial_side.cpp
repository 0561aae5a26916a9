#include "serial_side.h"

#include "dpc_accounting.h"
#include "serial_paths.h"

namespace quenta {

namespace {

constexpr ULONG DefaultBaud = 115200;
constexpr UCHAR DefaultLineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
constexpr UCHAR DefaultXonChar = 0x11;
constexpr UCHAR DefaultXoffChar = 0x13;

}  // namespace

void InitializeSerialSide(PortExtension* port) {
  KeInitializeTimer(&port->ReadTotalTimer);
  KeInitializeTimer(&port->ReadIntervalTimer);
  KeInitializeTimer(&port->WriteTotalTimer);
  KeInitializeTimer(&port->ImmediateTotalTimer);
  KeInitializeDpc(&port->CompleteWriteDpc, CompleteWriteRoutine, port);
  KeInitializeDpc(&port->WriteTimeoutDpc, WriteTimeoutRoutine, port);
  KeInitializeDpc(&port->CompleteReadDpc, CompleteReadRoutine, port);
  KeInitializeDpc(&port->TotalReadTimeoutDpc, TotalReadTimeoutRoutine, port);
  KeInitializeDpc(&port->IntervalReadTimeoutDpc, IntervalReadTimeoutRoutine, port);
  KeInitializeDpc(&port->CompleteImmediateDpc, CompleteImmediateRoutine, port);
  KeInitializeDpc(&port->ImmediateTimeoutDpc, ImmediateTimeoutRoutine, port);
  KeInitializeDpc(&port->CommWaitDpc, CommWaitRoutine, port);

  port->CurrentBaud = DefaultBaud;
  port->SupportedBauds = SERIAL_BAUD_USER;
  port->LineControl = DefaultLineControl;
  RtlZeroMemory(&port->SpecialChars, sizeof port->SpecialChars);
  port->SpecialChars.XonChar = DefaultXonChar;
  port->SpecialChars.XoffChar = DefaultXoffChar;
  port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  port->HandFlow.XonLimit = LONG(port->RingSize / 2);
  port->HandFlow.XoffLimit = LONG(port->RingSize / 8);
  RtlZeroMemory(&port->Timeouts, sizeof port->Timeouts);
  port->RingHighWater = port->RingSize / 4 * 3 + port->RingSize / 16;
  WriteUCharRelease(&port->PortOpen, FALSE);
  port->ShortIntervalAmount.QuadPart = -1;
  port->LongIntervalAmount.QuadPart = -10000000;
  port->CutOverAmount.QuadPart = 200000000;
}

void CancelSerialTimersAndDpcs(PortExtension* port) {
  CancelTimer(port, &port->ReadTotalTimer);
  CancelTimer(port, &port->ReadIntervalTimer);
  CancelTimer(port, &port->WriteTotalTimer);
  CancelTimer(port, &port->ImmediateTotalTimer);
  RemoveQueuedDpc(port, &port->CompleteWriteDpc);
  RemoveQueuedDpc(port, &port->WriteTimeoutDpc);
  RemoveQueuedDpc(port, &port->CompleteReadDpc);
  RemoveQueuedDpc(port, &port->TotalReadTimeoutDpc);
  RemoveQueuedDpc(port, &port->IntervalReadTimeoutDpc);
  RemoveQueuedDpc(port, &port->CompleteImmediateDpc);
  RemoveQueuedDpc(port, &port->ImmediateTimeoutDpc);
  RemoveQueuedDpc(port, &port->CommWaitDpc);
}

}  // namespace quenta
