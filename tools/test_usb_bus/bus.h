// The test USB bus: a root-enumerated bus driver whose children are simulated handsets. Each
// handset is a PDO with the handset's USB IDs that answers the URBs a function driver sends;
// its bulk pipes exchange bytes with a user-mode relay through the control device.
//
// Under Wine one thread dispatches every request of the driver host (this bus and the function
// driver above it share that host), so nothing here ever blocks: requests that must wait are
// pended with cancel routines, and requests are completed only after the bus lock is released,
// because a completion routine may call straight back into the bus.
#pragma once

#include "kernel.h"
#include "test_usb_bus_control.h"

namespace test_usb_bus {

constexpr ULONG BusPoolTag = 0x42627554;  // reads "TubB" in a pool dump

enum class Role : ULONG { Bus, Control, Handset };

struct BusExtension {
  Role Kind;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
};

struct ControlExtension {
  Role Kind;
};

struct Fault {
  ULONG Kind;
  ULONG Direction;
  ULONGLONG AfterBytes;
};

// One plugged-in handset: the PDO's extension.
struct Handset {
  Role Kind;
  LIST_ENTRY Link;  // in the bus's list of handsets, until the PDO is deleted
  PDEVICE_OBJECT Pdo;
  ULONG Instance;
  bool Present;             // plugged in and not pulled out: reported to plug and play
  PFILE_OBJECT Owner;       // the control handle that plugged it in, while present
  LIST_ENTRY InTransfers;   // bulk-IN URBs waiting for bytes
  LIST_ENTRY OutTransfers;  // bulk-OUT URBs waiting for the relay to take their bytes
  LIST_ENTRY Takers;        // the relay's TAKE_OUT requests waiting for bytes
  LIST_ENTRY Givers;        // the relay's GIVE_IN requests whose bytes are not all taken
  ULONGLONG BytesIn, BytesOut;
  ULONG PipeResets, PortResets;
  Fault Armed;
  UCHAR InPipe, OutPipe;  // their addresses are the pipe handles
};

// Bus-wide state, under Lock.
struct Bus {
  KSPIN_LOCK Lock;
  PDEVICE_OBJECT RootPdo;  // the PDO the bus's own device sits on; invalidated for new relations
  LIST_ENTRY Handsets;
};
extern Bus TheBus;

// Requests the bus completes after releasing its lock, linked through Tail.Overlay.ListEntry.
struct Completions {
  LIST_ENTRY Irps;
};
void InitializeCompletions(Completions& done);
void Complete(Completions& done, PIRP irp, NTSTATUS status, ULONG_PTR information);
void CompleteAll(Completions& done);
// The end of a dispatch, the bus lock released: completes irp with status unless it was pended,
// then what done collected; reports a handset pulled out meanwhile to plug and play.
NTSTATUS FinishDispatch(PIRP irp, NTSTATUS status, Completions& done, bool pulledOut);

// A pended request keeps its progress (bytes already moved) in DriverContext[0].
ULONG_PTR Progress(PIRP irp);
void SetProgress(PIRP irp, ULONG_PTR bytes);

// Marks irp pending and holds it on list with the bus's cancel routine (bus lock held); one
// cancelled already goes to done with STATUS_CANCELLED. Its dispatch returns STATUS_PENDING.
void Pend(LIST_ENTRY& list, PIRP irp, Completions& done);
// The first request of list that is not being cancelled, still on the list; null if none.
PIRP First(LIST_ENTRY& list);
// Takes irp off its list for completion; false when its cancel routine already owns it.
bool Unpend(PIRP irp);

// The URB a bulk-transfer or other internal request carries.
PURB UrbOf(PIRP irp);

// Handset behaviour (bus lock held unless said otherwise).
void PumpIn(Handset& handset, Completions& done);
void PumpOut(Handset& handset, Completions& done);
// The handset disappears: every transfer and relay request fails, the owner loses it. Returns
// true when it was present (the caller then invalidates the bus relations after unlocking).
bool PullOut(Handset& handset, Completions& done);
void InvalidateRelations();
NTSTATUS SubmitUrb(Handset& handset, PIRP irp, Completions& done);

NTSTATUS NTAPI HandsetInternalControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HandsetPnp(Handset& handset, PIRP irp);
NTSTATUS HandsetPower(PIRP irp);
NTSTATUS BusPnp(BusExtension& bus, PIRP irp);
NTSTATUS BusPower(BusExtension& bus, PIRP irp);
NTSTATUS ControlRequest(PIRP irp);

}  // namespace test_usb_bus
