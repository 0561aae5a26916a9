// The bulk transfers that carry serial data: one receive and one transmit transfer in flight at
// most, each in its own TransferBlock, and the hand-off that lets a completion and a canceller
// meet on the same IRP so that it is freed exactly once, by whichever comes second.
#pragma once

#include "port_extension.h"

namespace quenta {

constexpr ULONG MaxBulkTransfer = 2048;
constexpr ULONG TransferDataSize = 2052;
// How long AbortAll waits for both transfers to end (relative, 100 ns units).
constexpr LONGLONG DeviceIdleTimeout = -50000000;

// Lives from open to close (non-paged pool, "COMX"): 2132 bytes on 32-bit Windows.
struct TransferBlock {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
  PDEVICE_OBJECT DeviceObject;  // written at each submission: the completion routine's only way back
  PIRP Irp;
  UCHAR Data[TransferDataSize];
};
static_assert(sizeof(void*) != 4 || sizeof(TransferBlock) == 2132, "the 32-bit transfer block is 2132 bytes");

enum TransferDirection { ReceiveDirection, TransmitDirection };

// Open: both blocks or neither; prints which allocation failed. IRQL: PASSIVE_LEVEL.
NTSTATUS AllocateTransferBlocks(PortExtension* port);
void FreeTransferBlocks(PortExtension* port);

// Pipe 0 starts a receive of up to length bytes; pipe 1 sends length bytes from data. At most
// 2048 bytes go in one transfer. Fails without sending anything when the port has no transfer
// block or no configuration. *handedDown (when given) tells whether the transfer reached the
// bus, so that its completion will come, whatever the status. IRQL: <= DISPATCH_LEVEL.
NTSTATUS SendBulk(PortExtension* port, ULONG pipeIndex, const UCHAR* data, ULONG length, BOOLEAN* handedDown = nullptr);

// Cancels the direction's transfer, if one is in flight. IRQL: <= DISPATCH_LEVEL. Any number of
// cancellers may meet: only the one that takes the IRP from its slot cancels it, and whichever
// of it and the completion comes second finishes the transfer (data, next transfer, count),
// possibly inside this call.
void CancelTransfer(PortExtension* port, TransferDirection direction);
// The same in two steps, for a caller that must decide under a lock which transfer it cancels:
// take the IRP from its slot (no lock needed, may be done under the cancel spin lock), then,
// with no lock held, cancel it.
PIRP TakeTransferForCancel(PortExtension* port, TransferDirection direction);
void CancelTakenTransfer(PortExtension* port, TransferDirection direction, PIRP irp);

}  // namespace quenta
