// The export driver's entry point, the worker threads its queues run on, and their start. Wine calls a
// kernel-mode DLL's entry point like a DLL's when it loads it for the driver that imports it;
// there is nothing to set up then (the queues start on first use), so it only reports success.
#include "supply.h"

extern "C" ULONG NTAPI SupplyEntry(PVOID, ULONG, PVOID) { return TRUE; }

namespace supply {

bool StartWorker(PKSTART_ROUTINE routine) {
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, nullptr);
  if (!NT_SUCCESS(status)) return false;
  ZwClose(thread);
  return true;
}

void Once(volatile LONG& state, void (*start)()) {
  if (InterlockedCompareExchange(&state, 1, 0) == 0) {
    start();
    InterlockedExchange(&state, 2);
  }
  while (state != 2) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;  // 1 ms: another thread is still starting it
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
}

}  // namespace supply
