// The request queue engine, driven through a test path built on it as the read and write paths
// will be: a starter that keeps the current request (data side and cancel routine, optionally
// the total timer), a cancel routine, a timer DPC and a "data side done" step that each call
// TryCompleteCurrent.
#include "dpc_accounting.h"
#include "driver_fixture.h"
#include "request_gate.h"
#include "request_queues.h"

namespace quenta {
namespace {

using kemu::Request;

bool armTimer = false;

PIRP* CurrentOf(PortExtension* port, PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE ? &port->CurrentWriteIrp
                                                                          : &port->CurrentReadIrp;
}
PLIST_ENTRY QueueOf(PortExtension* port, PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE ? &port->WriteQueue : &port->ReadQueue;
}

void NTAPI HeldCancel(PDEVICE_OBJECT device, PIRP irp);

NTSTATUS HoldCurrentRead(PortExtension* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->CurrentReadIrp;
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    PIRP next;
    GetNextRequest(port, &port->CurrentReadIrp, &port->ReadQueue, &next, TRUE);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  SetReferenceBits(irp, ReferenceDataSide | ReferenceCancelRoutine);
  IoSetCancelRoutine(irp, HeldCancel);
  if (armTimer) {
    SetReference(irp, ReferenceTotalTimer);
    LARGE_INTEGER due;
    due.QuadPart = -1000;
    ArmTimer(port, &port->ReadTotalTimer, due, &port->TotalReadTimeoutDpc);
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

NTSTATUS HoldCurrentWrite(PortExtension* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(port->CurrentWriteIrp);
  SetReferenceBits(port->CurrentWriteIrp, ReferenceDataSide | ReferenceCancelRoutine);
  IoSetCancelRoutine(port->CurrentWriteIrp, HeldCancel);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void Finish(PortExtension* port, PIRP irp, KIRQL irql, NTSTATUS status, ULONG bit) {
  bool write = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE;
  TryCompleteCurrent(port, nullptr, irql, status, CurrentOf(port, irp), QueueOf(port, irp), nullptr,
                     write ? nullptr : &port->ReadTotalTimer, write ? HoldCurrentWrite : HoldCurrentRead,
                     GetNextRequest, bit);
}

void NTAPI HeldCancel(PDEVICE_OBJECT device, PIRP irp) {
  Finish(PortOf(device), irp, irp->CancelIrql, STATUS_CANCELLED, ReferenceCancelRoutine);
}

void NTAPI TotalTimeout(PKDPC, PVOID context, PVOID, PVOID) {
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Finish(port, port->CurrentReadIrp, irql, STATUS_TIMEOUT, ReferenceTotalTimer);
  DpcEnd(port);
}

NTSTATUS NTAPI QueueDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  bool write = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE;
  return StartOrQueue(port, irp, QueueOf(port, irp), CurrentOf(port, irp), write ? HoldCurrentWrite : HoldCurrentRead);
}

class RequestQueues : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    armTimer = false;
    fdo_ = AttachHandset();
    port_ = Port(fdo_);
    driver_->MajorFunction[IRP_MJ_READ] = QueueDispatch;
    driver_->MajorFunction[IRP_MJ_WRITE] = QueueDispatch;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueDispatch;
    KeInitializeDpc(&port_->TotalReadTimeoutDpc, TotalTimeout, port_);
  }
  // What a transfer does when it is done with the current read.
  void DataSideDone(NTSTATUS status = STATUS_SUCCESS) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Finish(port_, port_->CurrentReadIrp, irql, status, ReferenceDataSide);
  }
  Request SendRead() {
    Request read = Request::Read(fdo_, 8);
    EXPECT_EQ(read.Send(), STATUS_PENDING);
    return read;
  }

  PDEVICE_OBJECT fdo_ = nullptr;
  PortExtension* port_ = nullptr;
};

TEST_F(RequestQueues, ServeOneRequestAtATimeFirstInFirstOut) {
  Request first = SendRead(), second = SendRead(), third = SendRead();
  EXPECT_EQ(port_->CurrentReadIrp, first.Irp());
  DataSideDone();
  ASSERT_TRUE(first.Completed());
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first.Boost(), IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->CurrentReadIrp, second.Irp());  // started by TryCompleteCurrent
  EXPECT_EQ(second.Irp()->CancelRoutine, HeldCancel);
  DataSideDone();
  DataSideDone();
  EXPECT_TRUE(second.Completed() && third.Completed());
  EXPECT_EQ(port_->CurrentReadIrp, nullptr);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestQueues, ARequestCancelledWhileQueuedLeavesTheOthersAlone) {
  Request first = SendRead(), second = SendRead(), third = SendRead();
  EXPECT_TRUE(second.Cancel());
  ASSERT_TRUE(second.Completed());
  EXPECT_EQ(second.Status(), STATUS_CANCELLED);
  EXPECT_EQ(second.Information(), 0u);
  EXPECT_FALSE(first.Completed() || third.Completed());
  DataSideDone();
  EXPECT_EQ(port_->CurrentReadIrp, third.Irp());
  DataSideDone();
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestQueues, ACancelledCurrentRequestWaitsForItsDataSide) {
  Request read = SendRead();
  read.Irp()->IoStatus.Information = 5;
  EXPECT_TRUE(read.Cancel());
  EXPECT_FALSE(read.Completed());
  EXPECT_EQ(ReferenceBits(read.Irp()), ReferenceDataSide);
  DataSideDone(STATUS_CANCELLED);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);  // a cancelled request carries no count
}

TEST_F(RequestQueues, ATimerThatFiresWhileTheDataSideHoldsTheRequestWaitsForIt) {
  armTimer = true;
  Request read = SendRead();
  EXPECT_EQ(port_->PendingDpcCount, 2);
  kemu::AdvanceTime(kemu::kWindowsClockTick);  // its 100 us end on the next clock tick
  // The timer fired and its DPC is queued: it can no longer be cancelled.
  EXPECT_FALSE(KeCancelTimer(&port_->ReadTotalTimer));
  EXPECT_EQ(kemu::RunDpcs(), 1u);
  EXPECT_FALSE(read.Completed());
  EXPECT_EQ(ReferenceBits(read.Irp()), ReferenceDataSide);
  EXPECT_EQ(read.Irp()->CancelRoutine, nullptr);
  DataSideDone();
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(port_->PendingDpcCount, 1);
}

TEST_F(RequestQueues, ACancelTakesBackAnArmedTimerAndItsDpcCount) {
  armTimer = true;
  Request read = SendRead();
  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(ReferenceBits(read.Irp()), ReferenceDataSide);
  EXPECT_EQ(port_->PendingDpcCount, 1);
  EXPECT_EQ(kemu::ArmedTimerCount(), 0u);
  DataSideDone();
  EXPECT_TRUE(read.Completed());
}

TEST_F(RequestQueues, KillAllOnAnEmptyQueueOnlyTakesAndReleasesTheCancelLock) {
  KillAll(port_, &port_->ReadQueue, &port_->CurrentReadIrp);
  EXPECT_EQ(kemu::CurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestQueues, KillAllCancelsTheQueueAndTheCurrentRequest) {
  Request first = SendRead(), second = SendRead(), third = SendRead();
  KillAll(port_, &port_->ReadQueue, &port_->CurrentReadIrp);
  EXPECT_TRUE(second.Completed() && third.Completed());
  EXPECT_EQ(second.Status(), STATUS_CANCELLED);
  EXPECT_TRUE(first.Irp()->Cancel);
  EXPECT_FALSE(first.Completed());  // its data side still holds it
  DataSideDone(STATUS_CANCELLED);
  EXPECT_TRUE(first.Completed());
  EXPECT_TRUE(IsListEmpty(&port_->ReadQueue));
}

TEST_F(RequestQueues, AQueuedWriteCountsInTotalCharsQueuedUntilItIsCancelled) {
  Request current = Request::Write(fdo_, std::vector<UCHAR>(5));
  Request queued = Request::Write(fdo_, std::vector<UCHAR>(7));
  ASSERT_EQ(current.Send(), STATUS_PENDING);
  ASSERT_EQ(queued.Send(), STATUS_PENDING);
  EXPECT_EQ(port_->TotalCharsQueued, 12);
  EXPECT_TRUE(queued.Cancel());
  EXPECT_EQ(port_->TotalCharsQueued, 5);
  Request late = Request::Write(fdo_, std::vector<UCHAR>(3));
  late.Cancel();
  EXPECT_EQ(late.Send(), STATUS_CANCELLED);
  EXPECT_EQ(port_->TotalCharsQueued, 5);  // it never joined the queue
  KillAll(port_, &port_->WriteQueue, &port_->CurrentWriteIrp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Finish(port_, current.Irp(), irql, STATUS_CANCELLED, ReferenceDataSide);
  EXPECT_TRUE(current.Completed());
}

TEST_F(RequestQueues, ACancelledRequestIsNotQueuedAndACarriedRingBufferIsFreed) {
  Request first = SendRead();
  Request resize = Request::DeviceControl(fdo_, IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<UCHAR>(8), 0);
  CarriedRingBuffer(resize.Irp()) = ExAllocatePoolWithTag(NonPagedPool, 8192, kComx);
  size_t blocks = kemu::PoolBlocksInUse(kComx);
  resize.Cancel();
  EXPECT_EQ(resize.Send(), STATUS_CANCELLED);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), blocks - 1);
  EXPECT_TRUE(IsListEmpty(&port_->ReadQueue));
  DataSideDone();
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

}  // namespace
}  // namespace quenta
