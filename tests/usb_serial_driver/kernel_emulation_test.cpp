// The emulation under the driver must hold it to what Windows would do: these check that it
// ends the test where Windows would bugcheck or hang, and reproduces the orders the driver
// depends on.
#include <gtest/gtest.h>

#include "test_controls.h"

namespace {

class KernelEmulation : public ::testing::Test {
 protected:
  void SetUp() override {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    kemu::Reset();
  }
  void TearDown() override { kemu::Reset(); }
};

NTSTATUS NTAPI Keep(PDEVICE_OBJECT device, PIRP, PVOID context) {
  *static_cast<PDEVICE_OBJECT*>(context) = device;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI Release(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PendWithoutMarking(PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }

struct Stack {
  PDRIVER_OBJECT driver = kemu::CreateBusDriver(u"test");
  PDEVICE_OBJECT device = kemu::CreatePhysicalDevice(driver, nullptr);
  Stack() { driver->MajorFunction[IRP_MJ_READ] = CompleteAtOnce; }
  ~Stack() {
    kemu::DeletePhysicalDevice(device);
    kemu::DeleteBusDriver(driver);
  }
};

TEST_F(KernelEmulation, ADriverAllocatedRequestStopsAtMoreProcessingRequiredWithNoDeviceObject) {
  Stack stack;
  PIRP irp = IoAllocateIrp(stack.device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  PDEVICE_OBJECT seen = stack.device;
  IoSetCompletionRoutine(irp, Keep, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, nullptr);
  IoFreeIrp(irp);
  EXPECT_TRUE(kemu::Problems().empty());
}

TEST_F(KernelEmulation, EndsTheTestWhereWindowsWouldStop) {
  Stack stack;
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(stack.device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, Release, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(stack.device, irp);
      },
      "completed past the top");
  EXPECT_DEATH(
      {
        kemu::Request request = kemu::Request::Read(stack.device, 1);
        stack.driver->MajorFunction[IRP_MJ_READ] = PendWithoutMarking;
        request.Send();
      },
      "without marking the request pending");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "does not exist");
  EXPECT_DEATH(
      {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kemu::Tag("test"));
        ExFreePool(block);
        ExFreePool(block);
      },
      "BAD_POOL_CALLER");
  EXPECT_DEATH(
      {
        kemu::FailPoolAllocations({});
        ExAllocatePoolWithQuotaTag(NonPagedPool, 8, kemu::Tag("test"));
      },
      "raises");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "wait can never end");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL irql;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &irql);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_DEATH(
      {
        KSPIN_LOCK first;
        KSPIN_LOCK second;
        KeInitializeSpinLock(&first);
        KeInitializeSpinLock(&second);
        KIRQL a;
        KIRQL b;
        KeAcquireSpinLock(&first, &a);
        KeAcquireSpinLock(&second, &b);
        KeReleaseSpinLock(&second, b);
        KeReleaseSpinLock(&first, a);
        KeAcquireSpinLock(&second, &b);
        KeAcquireSpinLock(&first, &a);
      },
      "lock order inversion");
  EXPECT_DEATH(ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL),
               "assertion failed: KeGetCurrentIrql\\(\\) == DISPATCH_LEVEL");
}

TEST_F(KernelEmulation, ATimerThatFiredCannotBeCancelledBeforeItsDpcRuns) {
  KTIMER timer;
  KDPC dpc;
  int runs = 0;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -100;
  EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
  EXPECT_TRUE(KeSetTimer(&timer, due, &dpc));  // it was armed
  kemu::AdvanceTime(99);
  EXPECT_EQ(kemu::QueuedDpcCount(), 0u);
  kemu::AdvanceTime(1);
  EXPECT_EQ(kemu::QueuedDpcCount(), 1u);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr) && KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_EQ(kemu::RunDpcs(), 1u);
  EXPECT_EQ(runs, 1);
}

TEST_F(KernelEmulation, ATimedWaitMovesTheClockToItsDeadline) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -5000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kemu::Now(), 5000);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);  // a synchronization event is consumed by its wait
}

TEST_F(KernelEmulation, CountsWhatIsLeftBehind) {
  ExAllocatePoolWithTag(NonPagedPool, 8, kemu::Tag("leak"));
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  auto problems = kemu::Problems();
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0], "pool tag \"leak\": 1 block(s), 8 bytes leaked");
  EXPECT_EQ(problems[1], "1 lock(s) still held");
  EXPECT_EQ(problems[2], "IRQL is 2, not passive");
  KeReleaseSpinLock(&lock, irql);
}

TEST_F(KernelEmulation, AWaitWithALimitMovesTheClockFromTimerToTimerAndThenToItsLimit) {
  KTIMER timer;
  KDPC dpc;
  bool fired = false;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { *static_cast<bool*>(context) = true; }, &fired);
  LARGE_INTEGER due;
  due.QuadPart = -300;
  KeSetTimer(&timer, due, &dpc);
  EXPECT_FALSE(kemu::RunUntilFor([] { return false; }, 100));
  EXPECT_EQ(kemu::Now(), 100);
  EXPECT_FALSE(fired);
  EXPECT_TRUE(kemu::RunUntilFor([&fired] { return fired; }, 1000));
  EXPECT_EQ(kemu::Now(), 300);
  EXPECT_TRUE(kemu::DpcsIdle());
}

TEST_F(KernelEmulation, AnOpenFindsALinkWhateverTheCaseOfItsName) {
  Stack stack;
  std::u16string target = kemu::DeviceName(stack.device);
  UNICODE_STRING link;
  UNICODE_STRING name;
  RtlInitUnicodeString(&link, u"\\DosDevices\\COM7");
  RtlInitUnicodeString(&name, target.c_str());
  ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  EXPECT_EQ(kemu::ResolveSymbolicLink(u"\\dosdevices\\com7"), target);
  EXPECT_FALSE(kemu::ResolveSymbolicLink(u"\\DosDevices\\COM8"));
  EXPECT_EQ(kemu::DeviceByName(target), stack.device);
  EXPECT_EQ(kemu::DeviceByName(u"\\Device\\none"), nullptr);
  IoDeleteSymbolicLink(&link);
}

TEST_F(KernelEmulation, ARequestTellsOnceThatItCompleted) {
  Stack stack;
  kemu::Request request = kemu::Request::Read(stack.device, 4);
  int calls = 0;
  NTSTATUS seen = STATUS_PENDING;
  request.OnCompleted([&] {
    ++calls;
    seen = request.Status();
  });
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, STATUS_SUCCESS);
}

}  // namespace
