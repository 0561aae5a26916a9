// The kernel routines this export driver supplies in place of Wine's: a DPC queue that runs
// its DPCs, timers with Windows' return values, and power requests. Each routine keeps the
// documented Windows contract; the .def file exports them under the kernel's own names.
#pragma once

#include "kernel.h"

namespace supply {

// Runs Routine(Context) once on a new system thread that lives as long as the driver host.
// Returns false when the thread cannot be made.
bool StartWorker(PKSTART_ROUTINE routine);

// Calls start() on the first call from any thread (state: 0 before, 1 while, 2 after); later
// callers wait until it has returned.
void Once(volatile LONG& state, void (*start)());

// Brings up the DPC queue and its worker on first use; later calls return at once.
void EnsureDpcQueue();
void EnsureClock();

}  // namespace supply

extern "C" {
VOID NTAPI SupplyKeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN NTAPI SupplyKeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2);
BOOLEAN NTAPI SupplyKeRemoveQueueDpc(PRKDPC dpc);
VOID NTAPI SupplyKeInitializeTimer(PKTIMER timer);
BOOLEAN NTAPI SupplyKeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN NTAPI SupplyKeCancelTimer(PKTIMER timer);
NTSTATUS NTAPI SupplyPoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE complete, PVOID context, PIRP* irp);
}
