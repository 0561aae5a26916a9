// kernel_supply_check.sys: checks, from inside Wine's kernel, that the DPC and timer routines a
// driver imports keep Windows' contract. It imports them from ntoskrnl.exe as Quenta does; the
// harness redirects them to the kernel supply the same way. Its control device answers one
// request with a report, a line per check ("ok NAME" or "FAIL NAME: what happened").
#include "kernel.h"

#define KERNEL_SUPPLY_CHECK_RUN CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

namespace {

struct Report {
  char* text;
  ULONG length, capacity;
  int failed;
};

void Append(Report& report, const char* text) {
  while (*text && report.length + 1 < report.capacity) report.text[report.length++] = *text++;
  report.text[report.length] = 0;
}

void Check(Report& report, bool passed, const char* name, const char* what) {
  Append(report, passed ? "ok " : "FAIL ");
  Append(report, name);
  if (!passed) {
    Append(report, ": ");
    Append(report, what);
    ++report.failed;
  }
  Append(report, "\n");
}

// A DPC that counts its runs and signals an event each time.
struct Counted {
  KDPC Dpc;
  KEVENT Ran;
  volatile LONG Runs;
  // When set, the first run queues this DPC here twice, then removes it, then queues it again.
  PKDPC Other;
  BOOLEAN InsertedFirst, InsertedAgain, Removed, RemovedAgain;
};

void NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID) {
  auto* counted = static_cast<Counted*>(context);
  if (counted->Other && counted->Runs == 0) {
    // The worker is busy with this DPC, so the other one stays queued meanwhile.
    counted->InsertedFirst = KeInsertQueueDpc(counted->Other, nullptr, nullptr);
    counted->InsertedAgain = KeInsertQueueDpc(counted->Other, nullptr, nullptr);
    counted->Removed = KeRemoveQueueDpc(counted->Other);
    counted->RemovedAgain = KeRemoveQueueDpc(counted->Other);
    KeInsertQueueDpc(counted->Other, nullptr, nullptr);
  }
  InterlockedIncrement(&counted->Runs);
  KeSetEvent(&counted->Ran, IO_NO_INCREMENT, FALSE);
}

void Initialize(Counted& counted) {
  RtlZeroMemory(&counted, sizeof counted);
  KeInitializeDpc(&counted.Dpc, CountRun, &counted);
  KeInitializeEvent(&counted.Ran, SynchronizationEvent, FALSE);
}

bool RunsWithin(Counted& counted, LONG runs, LONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * milliseconds;
  while (counted.Runs < runs) {
    if (KeWaitForSingleObject(&counted.Ran, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) return false;
  }
  return true;
}

void Pause(LONG milliseconds) {
  LARGE_INTEGER delay;
  delay.QuadPart = -10000LL * milliseconds;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

void CheckDpcs(Report& report) {
  Counted first, second;
  Initialize(first);
  Initialize(second);
  first.Other = &second.Dpc;
  Check(report, KeInsertQueueDpc(&first.Dpc, nullptr, nullptr), "dpc_insert", "KeInsertQueueDpc returned FALSE");
  Check(report, RunsWithin(first, 1, 2000), "dpc_runs", "a queued DPC did not run within 2 s");
  Check(report, RunsWithin(second, 1, 2000) && second.Runs == 1, "dpc_runs_once_per_insert",
        "the DPC queued, removed and queued again did not run exactly once");
  Check(report, first.InsertedFirst && !first.InsertedAgain, "dpc_insert_queued",
        "inserting a queued DPC did not return FALSE");
  Check(report, first.Removed && !first.RemovedAgain, "dpc_remove",
        "KeRemoveQueueDpc did not return TRUE for a queued DPC and FALSE afterwards");
  Check(report, KeInsertQueueDpc(&first.Dpc, nullptr, nullptr) && RunsWithin(first, 2, 2000), "dpc_insert_after_run",
        "a DPC that ran could not be queued and run again");
}

void CheckTimers(Report& report) {
  Counted fired;
  Initialize(fired);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER soon, later;
  soon.QuadPart = -10000LL * 20;     // 20 ms
  later.QuadPart = -10000LL * 5000;  // 5 s
  Check(report, !KeSetTimer(&timer, later, &fired.Dpc), "timer_set", "setting an idle timer returned TRUE");
  Check(report, KeSetTimer(&timer, later, &fired.Dpc), "timer_set_again", "setting a queued timer returned FALSE");
  Check(report, KeCancelTimer(&timer) && !KeCancelTimer(&timer), "timer_cancel",
        "cancelling a queued timer did not return TRUE, then FALSE");
  Check(report, !KeSetTimer(&timer, soon, &fired.Dpc) && RunsWithin(fired, 1, 2000), "timer_fires",
        "a 20 ms timer's DPC did not run within 2 s");
  // Once expired the timer has left the queue: cancelling it fails, setting it reports idle.
  Check(report, !KeCancelTimer(&timer), "timer_cancel_after_expiry", "cancelling an expired timer returned TRUE");
  Check(report, !KeSetTimer(&timer, later, &fired.Dpc) && KeCancelTimer(&timer), "timer_set_after_expiry",
        "setting an expired timer did not report it idle");
  Pause(100);
  Check(report, fired.Runs == 1, "timer_fires_once", "a timer's DPC ran more than once");
  // An order kept by due time, not by setting: the later timer set first fires second.
  KTIMER early;
  Counted early_fired;
  Initialize(early_fired);
  KeInitializeTimer(&early);
  LARGE_INTEGER sixty, thirty;
  sixty.QuadPart = -10000LL * 60;
  thirty.QuadPart = -10000LL * 30;
  KeSetTimer(&timer, sixty, &fired.Dpc);
  KeSetTimer(&early, thirty, &early_fired.Dpc);
  Check(report, RunsWithin(early_fired, 1, 2000) && fired.Runs == 1, "timers_by_due_time",
        "the 30 ms timer did not fire before the 60 ms one");
  Check(report, RunsWithin(fired, 2, 2000), "timers_both_fire", "the 60 ms timer did not fire");
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    if (stack->Parameters.DeviceIoControl.IoControlCode != KERNEL_SUPPLY_CHECK_RUN ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < 2) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      Report report{static_cast<char*>(irp->AssociatedIrp.SystemBuffer), 0,
                    stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
      report.text[0] = 0;
      CheckDpcs(report);
      CheckTimers(report);
      information = report.length;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\KernelSupplyCheck");
  RtlInitUnicodeString(&link, L"\\DosDevices\\KernelSupplyCheck");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
