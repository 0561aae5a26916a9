// The bulk-OUT side shared by the write path and the immediate character. At most one transfer
// is in flight, and TxCarries says whose it is. Each of the two paths has its pending-completion
// record (PortExtension group 18): the data side of its current request, the status it ends
// with, and whether a time-out or cancel asked its transfer to stop. Each holder of a current
// request drops its own reference bit: the cancel routine bit 2 and the total timer bit 4 at
// once, the data side bit 1 from the completion DPC once no transfer carries the request any
// more (or from the grab, when nothing ever will).
// Lock: the cancel spin lock, which completion routines, DPCs and cancel routines all take.
#pragma once

#include "request_queues.h"

namespace quenta {

// What tells the write path and the immediate character apart to the shared routines.
struct TransmitPath {
  PIRP PortExtension::*Current;
  LIST_ENTRY PortExtension::*Queue;  // none for the immediate character
  PendingCompletion PortExtension::*Completion;
  KTIMER PortExtension::*TotalTimer;
  KDPC PortExtension::*CompletionDpc;
  TransmitCarrier Carrier;
  GrabRoutine Grab;
  RequestStarter Starter;  // none for the immediate character
  NextRequestRoutine GetNext;
};

extern const TransmitPath WritePath;      // write_path.cpp
extern const TransmitPath ImmediatePath;  // immediate_char.cpp

// Cancel spin lock held: the request's data side ends; its completion DPC completes it with the
// record's status and this information.
void FinishDataSide(PortExtension* port, const TransmitPath& path, ULONG_PTR information);

// The time-out DPC and the cancel routine of a path's current request (status STATUS_TIMEOUT
// with bit 4, STATUS_CANCELLED with bit 2): entered with the cancel spin lock held (released to
// irql). Asks the transfer that carries the request to stop, and drops the bit.
void AbortTransmitRequest(PortExtension* port, const TransmitPath& path, KIRQL irql, NTSTATUS status,
                          ULONG referenceBit);

// The bodies of a path's two DPC routines (context: the PortExtension). The completion DPC drops
// the data side's bit with the record's status; the time-out DPC aborts as above with bit 4.
void TransmitCompletionDpc(PVOID context, const TransmitPath& path);
void TransmitTimeoutDpc(PVOID context, const TransmitPath& path);

// Cancel spin lock held, the transfer that carried the path's bytes being back (accepted: both
// statuses clean; sent: the bytes the device took). The write's answer is TRUE when bytes are
// left and no sender is at work: the caller runs SendWriteBytes once it has released the lock.
bool WriteTransferDone(PortExtension* port, bool accepted, ULONG sent);      // write_path.cpp
void ImmediateTransferDone(PortExtension* port, bool accepted, ULONG sent);  // immediate_char.cpp
// No lock held: sends the current write's bytes, a transfer at a time, while it is ready.
void SendWriteBytes(PortExtension* port);

// Cancel spin lock held: when nothing is left to send and the wait mask asks for it, raises
// SERIAL_EV_TXEMPTY, once per emptying.
void CheckTransmitEmpty(PortExtension* port);

}  // namespace quenta
