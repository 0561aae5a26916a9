// Timers with Windows' contract. Wine runs a timer's DPC straight from a thread-pool callback
// and keeps a timer "inserted" after it has fired, so KeCancelTimer and KeSetTimer report a
// fired timer as still queued, and its KeCancelTimer waits for a running callback (a deadlock
// when the caller holds a lock that DPC wants). Here a timer leaves the queue when it expires
// and its DPC goes to the DPC queue; KeSetTimer and KeCancelTimer return whether the timer was
// still queued and never wait. A clock thread expires the timers. Timers serve DPCs only: a
// wait on one of these timers is not supported.
#include "supply.h"

namespace {

struct Clock {
  KSPIN_LOCK Lock;
  LIST_ENTRY Armed;     // by due time, earliest first
  KEVENT Changed;       // synchronization event: the earliest due time may have moved
  volatile LONG State;  // of its start (Once)
};

Clock TheClock;

// The kernel's object type of a notification timer (named but not defined by the DDK headers).
const UCHAR TimerNotificationType = 8;

// Monotonic time in 100 ns units.
LONGLONG Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  return counter.QuadPart / frequency.QuadPart * 10000000 +
         counter.QuadPart % frequency.QuadPart * 10000000 / frequency.QuadPart;
}

// A relative due time (negative) counts from now; an absolute one (system time) is turned into
// the same clock, and one in the past fires at once.
LONGLONG DueFromNow(LARGE_INTEGER dueTime) {
  LONGLONG now = Now();
  if (dueTime.QuadPart < 0) return now - dueTime.QuadPart;
  LARGE_INTEGER systemNow;
  KeQuerySystemTime(&systemNow);
  LONGLONG ahead = dueTime.QuadPart - systemNow.QuadPart;
  return ahead > 0 ? now + ahead : now;
}

LONGLONG DueOf(const KTIMER* timer) { return LONGLONG(timer->DueTime.QuadPart); }

void Insert(PKTIMER timer) {
  PLIST_ENTRY next = TheClock.Armed.Flink;
  while (next != &TheClock.Armed && DueOf(CONTAINING_RECORD(next, KTIMER, TimerListEntry)) <= DueOf(timer)) {
    next = next->Flink;
  }
  // Insert before next.
  timer->TimerListEntry.Flink = next;
  timer->TimerListEntry.Blink = next->Blink;
  next->Blink->Flink = &timer->TimerListEntry;
  next->Blink = &timer->TimerListEntry;
  timer->Header.Inserted = TRUE;
}

void NTAPI ExpireTimers(PVOID) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&TheClock.Lock, &irql);
    LONGLONG now = Now();
    while (!IsListEmpty(&TheClock.Armed)) {
      PKTIMER timer = CONTAINING_RECORD(TheClock.Armed.Flink, KTIMER, TimerListEntry);
      if (DueOf(timer) > now) break;
      RemoveEntryList(&timer->TimerListEntry);
      timer->Header.Inserted = FALSE;
      timer->Header.SignalState = 1;
      if (timer->Dpc) {
        SupplyKeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(now & 0xFFFFFFFF)),
                               reinterpret_cast<PVOID>(ULONG_PTR(ULONGLONG(now) >> 32)));
      }
    }
    LARGE_INTEGER wait;
    PLARGE_INTEGER timeout = nullptr;
    if (!IsListEmpty(&TheClock.Armed)) {
      wait.QuadPart = now - DueOf(CONTAINING_RECORD(TheClock.Armed.Flink, KTIMER, TimerListEntry));
      timeout = &wait;  // relative: negative
    }
    KeReleaseSpinLock(&TheClock.Lock, irql);
    KeWaitForSingleObject(&TheClock.Changed, Executive, KernelMode, FALSE, timeout);
  }
}

BOOLEAN Arm(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  supply::EnsureClock();
  KIRQL irql;
  KeAcquireSpinLock(&TheClock.Lock, &irql);
  BOOLEAN wasQueued = timer->Header.Inserted;
  if (wasQueued) RemoveEntryList(&timer->TimerListEntry);
  timer->DueTime.QuadPart = ULONGLONG(DueFromNow(dueTime));
  timer->Dpc = dpc;
  timer->Header.SignalState = 0;
  Insert(timer);
  KeReleaseSpinLock(&TheClock.Lock, irql);
  KeSetEvent(&TheClock.Changed, IO_NO_INCREMENT, FALSE);
  return wasQueued;
}

}  // namespace

namespace supply {

void EnsureClock() {
  EnsureDpcQueue();
  Once(TheClock.State, [] {
    KeInitializeSpinLock(&TheClock.Lock);
    InitializeListHead(&TheClock.Armed);
    KeInitializeEvent(&TheClock.Changed, SynchronizationEvent, FALSE);
    if (!StartWorker(ExpireTimers)) DbgPrint("wine kernel supply: no clock thread\n");
  });
}

}  // namespace supply

extern "C" VOID NTAPI SupplyKeInitializeTimer(PKTIMER timer) {
  supply::EnsureClock();
  RtlZeroMemory(timer, sizeof(*timer));
  timer->Header.Type = TimerNotificationType;
  InitializeListHead(&timer->TimerListEntry);
}

extern "C" BOOLEAN NTAPI SupplyKeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  return Arm(timer, dueTime, dpc);
}

extern "C" BOOLEAN NTAPI SupplyKeCancelTimer(PKTIMER timer) {
  supply::EnsureClock();
  KIRQL irql;
  KeAcquireSpinLock(&TheClock.Lock, &irql);
  BOOLEAN wasQueued = timer->Header.Inserted;
  if (wasQueued) {
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
  }
  KeReleaseSpinLock(&TheClock.Lock, irql);
  return wasQueued;
}
