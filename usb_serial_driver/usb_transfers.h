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
// block or no configuration. IRQL: <= DISPATCH_LEVEL.
NTSTATUS SendBulk(PortExtension* port, ULONG pipeIndex, const UCHAR* data, ULONG length);

// Cancels the direction's transfer, if one is in flight. IRQL: <= DISPATCH_LEVEL. The hand-off
// allows one canceller per direction at a time: AbortAll (which stops reception from
// restarting while it runs) for receive, and the write path's cancellers for transmit.
void CancelTransfer(PortExtension* port, TransferDirection direction);

}  // namespace quenta
