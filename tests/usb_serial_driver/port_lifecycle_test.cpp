// Cleanup, close, stop and surprise removal with reads, writes and waits pending: every request
// is completed once, the transfers end, and nothing is left behind.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

class PortLifecycle : public SerialPortTest {
 protected:
  struct Pending {
    kemu::Request read, write, queuedWrite, wait;
  };
  Pending SendPending() {
    handset_->SetOutCompletesLater(true);
    SetWaitMask(SERIAL_EV_RXFLAG);
    Pending pending{Read(10), Write(std::vector<UCHAR>(3000, 'w')), Write("queued"),
                    Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4)};
    Deliver("part");
    EXPECT_EQ(handset_->PendingOut(), 1u);
    return pending;
  }
  static void ExpectAllCancelled(const Pending& pending) {
    for (const kemu::Request* request : {&pending.read, &pending.write, &pending.queuedWrite, &pending.wait}) {
      ASSERT_TRUE(request->Completed());
      EXPECT_EQ(request->Status(), STATUS_CANCELLED);
      EXPECT_EQ(request->Information(), 0u);
    }
  }
};

TEST_F(PortLifecycle, CleanupCancelsEveryRequestAndTheOpenPortGoesOn) {
  Pending pending = SendPending();
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  Settle();
  ExpectAllCancelled(pending);
  EXPECT_EQ(handset_->PendingOut(), 0u);
  EXPECT_EQ(handset_->PendingIn(), 1u);  // reception goes on
  EXPECT_EQ(port_->TotalCharsQueued, 0);
  handset_->SetOutCompletesLater(false);
  Deliver("fresh");
  SetTimeouts(MAXULONG, 0, 0);
  EXPECT_EQ(Received(Read(10)), "fresh");
  kemu::Request write = Write("again");
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(PortLifecycle, CloseStopsTheTransfersBeforeItCancelsTheRequests) {
  Pending pending = SendPending();
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  ExpectAllCancelled(pending);
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  EXPECT_EQ(port_->RxTransferBlock, nullptr);
  EXPECT_EQ(port_->PendingDpcCount, 1);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(PortLifecycle, SurpriseRemovalCancelsEveryRequestAndRefusesLaterOnes) {
  Pending pending = SendPending();
  SurpriseRemove(*handset_);
  ExpectAllCancelled(pending);
  EXPECT_EQ(Read(1).Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Write("x").Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  Remove(*handset_);
}

TEST_F(PortLifecycle, AStopAndRestartAfterTheLastHandleServesAgain) {
  Pending pending = SendPending();
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  ExpectAllCancelled(pending);
  handset_->SetOutCompletesLater(false);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kemu::StartDevice(handset_->Pdo()), STATUS_SUCCESS);
  OpenPort(fdo_);
  kemu::Request read = Read(2);
  kemu::Request write = Write("ok");
  Deliver("hi");
  Settle();
  EXPECT_EQ(Received(read), "hi");
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(PortLifecycle, APowerDownStopsAWriteBetweenTwoTransfersUntilItIsCancelled) {
  handset_->SetOutCompletesLater(true);
  kemu::Request write = Write(std::vector<UCHAR>(3000, 'w'));
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_TRUE(handset_->CompleteOut());
  EXPECT_EQ(handset_->PendingOut(), 0u);  // the port no longer counts as open: no next transfer
  EXPECT_FALSE(write.Completed());
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
}

}  // namespace
}  // namespace quenta
