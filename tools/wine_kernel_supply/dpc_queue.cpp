// A DPC queue that runs its DPCs. Wine's KeInsertQueueDpc accepts a DPC and never runs it, and
// its KeInitializeDpc leaves fields unset; this queue keeps Windows' contract instead: a DPC is
// queued at most once (inserting a queued DPC returns FALSE), KeRemoveQueueDpc takes it out
// before it runs, and a worker thread runs queued DPCs in order, each after it has left the
// queue, so a DPC may queue itself again. One worker means DPCs never overlap one another; they
// still run concurrently with dispatch routines, cancel routines and completions, as on Windows.
#include "supply.h"

namespace {

struct DpcQueue {
  KSPIN_LOCK Lock;
  LIST_ENTRY Queued;
  KEVENT Work;          // synchronization event: set after each insertion
  volatile LONG State;  // of its start (Once)
};

DpcQueue Queue;

// The kernel's object type of a DPC (the DDK headers name it but do not define it).
const UCHAR DpcObjectType = 19;

// DpcData marks a queued DPC, as Windows uses it for the queue the DPC sits in.
bool IsQueued(const KDPC* dpc) { return dpc->DpcData != nullptr; }

void NTAPI RunQueuedDpcs(PVOID) {
  for (;;) {
    KeWaitForSingleObject(&Queue.Work, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&Queue.Lock, &irql);
      if (IsListEmpty(&Queue.Queued)) {
        KeReleaseSpinLock(&Queue.Lock, irql);
        break;
      }
      PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&Queue.Queued), KDPC, DpcListEntry);
      dpc->DpcData = nullptr;
      PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
      PVOID context = dpc->DeferredContext;
      PVOID argument1 = dpc->SystemArgument1;
      PVOID argument2 = dpc->SystemArgument2;
      KeReleaseSpinLock(&Queue.Lock, irql);
      routine(dpc, context, argument1, argument2);
    }
  }
}

}  // namespace

namespace supply {

void EnsureDpcQueue() {
  Once(Queue.State, [] {
    KeInitializeSpinLock(&Queue.Lock);
    InitializeListHead(&Queue.Queued);
    KeInitializeEvent(&Queue.Work, SynchronizationEvent, FALSE);
    if (!StartWorker(RunQueuedDpcs)) DbgPrint("wine kernel supply: no DPC worker thread\n");
  });
}

}  // namespace supply

extern "C" VOID NTAPI SupplyKeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  supply::EnsureDpcQueue();
  RtlZeroMemory(dpc, sizeof(*dpc));
  dpc->Type = DpcObjectType;
  dpc->Importance = MediumImportance;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
}

extern "C" BOOLEAN NTAPI SupplyKeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
  supply::EnsureDpcQueue();
  KIRQL irql;
  KeAcquireSpinLock(&Queue.Lock, &irql);
  if (IsQueued(dpc)) {
    KeReleaseSpinLock(&Queue.Lock, irql);
    return FALSE;
  }
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = &Queue;
  InsertTailList(&Queue.Queued, &dpc->DpcListEntry);
  KeReleaseSpinLock(&Queue.Lock, irql);
  KeSetEvent(&Queue.Work, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

extern "C" BOOLEAN NTAPI SupplyKeRemoveQueueDpc(PRKDPC dpc) {
  supply::EnsureDpcQueue();
  KIRQL irql;
  KeAcquireSpinLock(&Queue.Lock, &irql);
  bool queued = IsQueued(dpc);
  if (queued) {
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
  }
  KeReleaseSpinLock(&Queue.Lock, irql);
  return queued;
}
