// PortExtension: everything the driver keeps for one attached handset, in the device object's
// extension, in the groups below. Each group's detail lives with the file of its concern.
//
// Locks. Where several are held they are taken in this one order, each only while holding
// locks above it (the emulation records every nesting and fails a test on an inversion):
//
//   1. ControlLock (spin lock, taken at <= DISPATCH_LEVEL)
//        PortOpen (its writes); the serial settings of group 12 that are read and written as a
//        whole (CurrentBaud, LineControl, SpecialChars, HandFlow, Timeouts, DtrRts,
//        ModemControl); held around PurgeReceive and ResizeRing, which change the ring's
//        geometry, and around a read's start, so that neither meets the other.
//   2. the system cancel spin lock (DISPATCH_LEVEL)
//        The queues and current-request pointers of groups 4, 7, 9, 10, 11 and each current
//        request's ReferenceBits and cancel routine; the stall queue; TotalCharsQueued; the
//        read's interval state (group 3, CountOnLastRead); the write and immediate-character
//        data side (WriteLength, WriteCurrentChar, ImmediateInFlight, ImmediateChar,
//        EmptiedTransmit and group 18 but Aborting).
//   3. ReceiveLock (spin lock, DISPATCH_LEVEL; the bulk-IN completion holds it while it
//        delivers bytes)
//        The receive ring and the direct fill of the current read (group 5 but CountOnLastRead);
//        the events WaitMask, HistoryMask, IrpMaskLocation; TxHolding; PerfStats. The settings
//        the receive path reads (SpecialChars, HandFlow.FlowReplace) are written holding
//        ControlLock and ReceiveLock both.
//
// Before every spin lock, never one inside the other, taken at PASSIVE_LEVEL and held at
// APC_LEVEL: OpenMutex (open against query stop and query remove) and CloseMutex (one close at
// a time).
// Beside the order: FlagsLock (spin lock, <= DISPATCH_LEVEL) guards PnpFlags and
// DeviceStateFlags; no other lock is taken while it is held.
//
// Without a lock, by interlocked operations: PendingRequestCount, PendingDpcCount, OpenCount,
// ErrorWord, RxOutstanding, TxOutstanding, RxIrp, TxIrp, RxIrpDone, TxIrpDone and the driver's
// DeviceNumberMap; the byte flags PortOpen and Aborting are read with ReadUCharAcquire.
#pragma once

#include "kernel.h"

namespace quenta {

// Pool tags, written as they read in a pool dump.
constexpr ULONG PoolTagFromText(const char (&text)[5]) {
  return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 | ULONG(UCHAR(text[3])) << 24;
}
constexpr ULONG PortPoolTag = PoolTagFromText("COMX");
// The configuration descriptor, the interface information and reset-pipe requests.
constexpr ULONG UsbPoolTag = PoolTagFromText("Es2U");

// PnpFlags: what RequestGate looks at. Changed only under FlagsLock.
constexpr ULONG PnpRemovePending = 0x01;
constexpr ULONG PnpStopPending = 0x02;
constexpr ULONG PnpStopped = 0x04;
constexpr ULONG PnpSurpriseRemoved = 0x08;
constexpr ULONG PnpPoweredDown = 0x10;

// PnpState
constexpr ULONG PnpStateStarted = 1;
constexpr ULONG PnpStateStopPending = 2;
constexpr ULONG PnpStateStopped = 3;
constexpr ULONG PnpStateRemovePending = 4;
constexpr ULONG PnpStateRestarting = 6;

// DeviceStateFlags
constexpr ULONG DeviceStarted = 0x1;
constexpr ULONG DeviceStopped = 0x2;

// Bit 31 of ErrorWord: a bulk transfer failed; every request but the status query is cancelled
// until that query reads and clears ErrorWord.
constexpr ULONG DeviceErrorLatch = 0x80000000u;

// The serial structures are part of the interface applications see: their sizes are Windows'.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4);
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_STATUS) == 20);
static_assert(sizeof(SERIAL_COMMPROP) == 64);
static_assert(sizeof(SERIALPERF_STATS) == 24);
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8);
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12);
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44);

struct PortExtension;
struct TransferBlock;

// Where the bulk-OUT side of the current write, or of the immediate character, stands. Changed
// under the cancel spin lock.
enum DataSide : UCHAR {
  DataSideIdle,       // reference bit 1 is not held
  DataSideReady,      // bytes wait to go and no transfer carries them yet: a sender is on its way
  DataSideSending,    // a bulk-OUT transfer carries them
  DataSideStalled,    // bytes remain but nothing will send them (a failed transfer, no transfer
                      // block): the request's time-out or cancel takes it back
  DataSideFinishing,  // its completion DPC is queued to end it with the record's status
};

// The pending-completion record of the write path or of the immediate character: what its
// completion DPC ends the request with. One per path, so that neither is taken for the other.
struct PendingCompletion {
  NTSTATUS Status;     // STATUS_SUCCESS, STATUS_TIMEOUT or STATUS_CANCELLED
  UCHAR Side;          // a DataSide
  UCHAR AbortPending;  // a time-out or a cancel asked the transfer in flight to stop
};

// Whom the bulk-OUT transfer in flight belongs to (one at a time).
enum TransmitCarrier : UCHAR { CarriesNothing, CarriesWrite, CarriesImmediate };
// Moves a request's results into it before it completes (see request_queues.h).
typedef void (*GrabRoutine)(PortExtension* port);

struct PortExtension {
  // 1. Naming (port_naming.cpp): set at start, undone at stop and removal, passive level only
  UNICODE_STRING ValueName;         // the device-object name; the value name under SERIALCOMM
  UNICODE_STRING SymbolicLinkName;  // \DosDevices\<port name>
  UNICODE_STRING InterfaceName;
  ULONG SkipExternalNaming;
  UNICODE_STRING ComName;  // the port name, 32 characters at most

  // 2. Stack links: fixed from AddDevice to removal
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT PhysicalDeviceObject;

  // 3. Read timing: the interval rules of the current read
  LARGE_INTEGER IntervalTime;
  PLARGE_INTEGER IntervalTimeToUse;
  LARGE_INTEGER LastReadTime;
  LARGE_INTEGER ShortIntervalAmount;
  LARGE_INTEGER LongIntervalAmount;
  LARGE_INTEGER CutOverAmount;

  // 4. Read queue (reads and queue-size changes)
  LIST_ENTRY ReadQueue;
  PIRP CurrentReadIrp;

  // 5. RxRing geometry (receive_ring.cpp)
  PUCHAR RingBase;
  PUCHAR FillBase;  // the ring, or the current read's own buffer
  ULONG CharsInRing;
  PUCHAR CurrentCharSlot;
  PUCHAR LastCharSlot;
  PUCHAR FirstReadableChar;
  ULONG RingSize;
  ULONG RingHighWater;
  ULONG NumberNeededForRead;
  LONG CountOnLastRead;
  ULONG ReadByDirectFill;

  // 6. Read DPCs and timers
  KDPC CompleteReadDpc;
  KDPC TotalReadTimeoutDpc;
  KDPC IntervalReadTimeoutDpc;
  KTIMER ReadTotalTimer;
  KTIMER ReadIntervalTimer;

  // 7. Write queue
  LIST_ENTRY WriteQueue;
  PIRP CurrentWriteIrp;
  ULONG WriteLength;
  PUCHAR WriteCurrentChar;
  LONG TotalCharsQueued;
  UCHAR EmptiedTransmit;

  // 8. Write DPCs and timer
  KDPC CompleteWriteDpc;
  KDPC WriteTimeoutDpc;
  KTIMER WriteTotalTimer;

  // 9. Wait-mask machinery
  LIST_ENTRY MaskQueue;
  PIRP CurrentMaskIrp;
  PIRP CurrentWaitIrp;
  ULONG WaitMask;
  ULONG HistoryMask;
  PULONG IrpMaskLocation;
  KDPC CommWaitDpc;

  // 10. Immediate character
  UCHAR ImmediateInFlight;
  PIRP CurrentImmediateIrp;
  UCHAR ImmediateChar;
  KDPC CompleteImmediateDpc;
  KDPC ImmediateTimeoutDpc;
  KTIMER ImmediateTotalTimer;

  // 11. Stalled requests (request_gate.cpp) and purges
  LIST_ENTRY StallQueue;
  LIST_ENTRY PurgeQueue;
  PIRP CurrentPurgeIrp;

  // 12. Serial settings, kept in software (serial_side.cpp)
  ULONG TxHolding;
  ULONG RxHolding;
  ULONG CurrentBaud;
  ULONG SupportedBauds;
  ULONG TxFifoAmount;
  SERIAL_CHARS SpecialChars;
  SERIAL_HANDFLOW HandFlow;
  UCHAR LineControl;
  SERIALPERF_STATS PerfStats;
  UCHAR ModemControl;
  SERIAL_TIMEOUTS Timeouts;
  ULONG DtrRts;     // SERIAL_DTR_STATE | SERIAL_RTS_STATE as last set; both on at open
  ULONG ErrorWord;  // bit 31 is DeviceErrorLatch; changed with interlocked operations

  // 13. Byte flags
  UCHAR PortOpen;  // read without a lock by the bulk completions: ReadUCharAcquire
  UCHAR CreatedSymbolicLink;
  UCHAR WroteDeviceMap;

  // 14. Locks (the table at the top of this file)
  KSPIN_LOCK ControlLock;
  KSPIN_LOCK FlagsLock;

  // 15. Power and plug and play (pnp.cpp, power.cpp)
  ULONG DevicePowerState;
  ULONG SystemToDeviceMap[7];  // indexed by system power state
  KEVENT PowerCompletionEvent;
  UCHAR OwnsPowerPolicy;
  UCHAR PowerManagementEnabled;
  ULONG SystemWake;
  ULONG DeviceWake;
  UCHAR WaitWakeEnabled;
  PIRP PendingWaitWakeIrp;
  ULONG PowerStateToRequest;
  LONG PendingRequestCount;  // requests inside the driver, plus 1 while the device is not being drained
  ULONG PnpFlags;
  KEVENT PendingRequestsDone;
  ULONG PnpState;
  ULONG DeviceStateFlags;
  LONG OpenCount;
  KEVENT LowerCompletionEvent;
  FAST_MUTEX OpenMutex;
  FAST_MUTEX CloseMutex;
  LONG PendingDpcCount;  // queued DPCs and armed timers, plus 1 while the port is not closing
  KEVENT PendingDpcsDone;

  // 16. Device number (device_objects.cpp)
  ULONG DeviceNumber;

  // 17. USB traffic (usb_transfers.cpp)
  LONG RxOutstanding;
  KEVENT RxIdleEvent;
  LONG TxOutstanding;
  KEVENT TxIdleEvent;
  PIRP RxIrp;  // the IRP carrying each transfer, exchanged atomically with the canceller
  PIRP TxIrp;
  LONG RxIrpDone;
  LONG TxIrpDone;
  KSPIN_LOCK ReceiveLock;

  // 18. Abort and deferred completion (transmit_side.cpp)
  UCHAR Aborting;       // set while AbortAll stops the bulk transfers; read by their completions
  UCHAR TxCarries;      // a TransmitCarrier
  UCHAR TxSending;      // a sender of the write is inside SendBulk: it sends the next chunk itself
  ULONG TxChunkLength;  // bytes handed to the bulk-OUT transfer in flight
  PendingCompletion WriteCompletion;
  PendingCompletion ImmediateCompletion;

  // 19. Transfer blocks (usb_transfers.cpp): allocated by open, freed by close
  TransferBlock* RxTransferBlock;
  TransferBlock* TxTransferBlock;

  // 20. USB configuration (usb_configuration.cpp)
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
};

inline PortExtension* PortOf(PDEVICE_OBJECT device) { return static_cast<PortExtension*>(device->DeviceExtension); }

}  // namespace quenta
