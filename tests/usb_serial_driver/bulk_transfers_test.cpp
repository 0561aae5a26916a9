// Bulk transfers: reception restarting, errors, the IRP hand-off between completion and cancel
// in every order, AbortAll, and recovery from a failed submission.
#include "abort_all.h"
#include "driver_fixture.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {
namespace {

using kemu::UsbHandset;

class BulkTransfers : public AttachedPortTest {
 protected:
  void SetUp() override {
    AttachedPortTest::SetUp();
    OpenPort(fdo_);
  }
  // What the surprise removal's AbortAll does while the port stays open.
  void AbortWithForce() { AbortAll(port_, TRUE); }
};

TEST_F(BulkTransfers, OneReceiveStaysInFlightWhileThePortIsOpen) {
  EXPECT_EQ(port_->RxOutstanding, 1);
  EXPECT_EQ(KeReadStateEvent(&port_->RxIdleEvent), 0);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(handset_->DeliverIn({UCHAR(i)}));
  EXPECT_EQ(port_->RxOutstanding, 1);
  EXPECT_EQ(handset_->PendingIn(), 1u);
  EXPECT_EQ(kemu::IrpsInUse(), 1u);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&port_->RxIdleEvent), 1);
}

TEST_F(BulkTransfers, AFailedReceiveLatchesTheErrorAndStopsReception) {
  ASSERT_TRUE(handset_->FailIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  EXPECT_EQ(kemu::CountDebugLines("USB Bus terminated abnormal 3,Maybe should wait some time ...status: c0000001"), 1u);
  EXPECT_TRUE(Logged("Abort hook read !\n"));
  EXPECT_TRUE(port_->ErrorWord & DeviceErrorLatch);
  EXPECT_EQ(handset_->PendingIn(), 0u);
  EXPECT_EQ(port_->RxOutstanding, 0);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, ASuccessfulTransferWithAnUrbErrorDeliversNothingButGoesOn) {
  handset_->Stall(ReceivePipe);  // the next submission fails at once
  ASSERT_TRUE(handset_->DeliverIn({'a'}));
  // The restart from the completion routine failed inside IoCallDriver, at DISPATCH_LEVEL:
  // no reset is tried there, since it would have to wait.
  EXPECT_TRUE(Logged("Will try to reset pipe 0 ntStatus:\n"));
  EXPECT_EQ(handset_->PipeResets(0), 1);  // only the open's
  EXPECT_TRUE(port_->ErrorWord & DeviceErrorLatch);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, ASubmissionThatFailsAtPassiveLevelResetsThePipeThenThePort) {
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  handset_->FailNextSubmission(STATUS_UNSUCCESSFUL);
  OpenPort(fdo_);
  EXPECT_TRUE(Logged("Will try to reset pipe 0 ntStatus:\n"));
  EXPECT_EQ(handset_->PipeResets(0), 3);  // two opens, one recovery
  EXPECT_FALSE(Logged("Will try to reset device \n"));
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);

  handset_->FailNextSubmission(STATUS_UNSUCCESSFUL);
  handset_->FailControl(UsbHandset::Control::ResetPipe, STATUS_UNSUCCESSFUL, 2);
  handset_->FailControl(UsbHandset::Control::ResetPort, STATUS_UNSUCCESSFUL);
  handset_->SetPortStatus(USBD_PORT_CONNECTED);
  OpenPort(fdo_);
  EXPECT_TRUE(Logged("Will try to reset device \n"));
  // The open's port reset failed; the recovery's check found the port still disabled.
  EXPECT_EQ(kemu::CountDebugLines("Need Reset USB Bus Device !!!\n"), 2u);
  EXPECT_EQ(handset_->PortResets(), 1);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, NoTransferIsBuiltWithoutATransferBlock) {
  TransferBlock* block = port_->TxTransferBlock;
  port_->TxTransferBlock = nullptr;
  EXPECT_EQ(SendBulk(port_, TransmitPipe, reinterpret_cast<const UCHAR*>("x"), 1), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(handset_->OutTransfers().empty());
  port_->TxTransferBlock = block;
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, ASendIsClippedToOneTransfer) {
  std::vector<UCHAR> data(5000, 'w');
  EXPECT_EQ(SendBulk(port_, TransmitPipe, data.data(), ULONG(data.size())), STATUS_SUCCESS);
  ASSERT_EQ(handset_->OutTransfers().size(), 1u);
  EXPECT_EQ(handset_->OutTransfers()[0].size(), 2048u);
  EXPECT_EQ(port_->TxOutstanding, 0);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

// The hand-off: whichever of completion and canceller comes second frees the IRP, once.
TEST_F(BulkTransfers, CancelCompletedInsideTheCancelCall) {
  handset_->SetCancelMode(UsbHandset::CancelMode::Inside);
  AbortWithForce();
  EXPECT_EQ(handset_->PendingIn(), 0u);  // not restarted while aborting, though the port is open
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  EXPECT_EQ(port_->RxOutstanding, 0);
  EXPECT_EQ(port_->RxIrpDone, 0);
  EXPECT_TRUE(Logged("USB Bus Request canceled !\n"));
  EXPECT_FALSE(Logged("Waiting usb rx,tx event timeout !!!\n"));
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, CancelCompletedAfterTheCancelCallReturned) {
  handset_->SetCancelMode(UsbHandset::CancelMode::Deferred);
  AbortWithForce();  // the wait for the idle events runs the deferred completion
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  EXPECT_EQ(port_->RxIrpDone, 0);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, ATransferCompletingBetweenTheSlotExchangeAndTheCancel) {
  kemu::SetBeforeCancelHook([this](PIRP) { ASSERT_TRUE(handset_->DeliverIn({'z'})); });
  AbortWithForce();
  kemu::SetBeforeCancelHook(nullptr);
  EXPECT_EQ(port_->CharsInRing, 1u);  // delivered, then not restarted
  EXPECT_EQ(handset_->PendingIn(), 0u);
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  EXPECT_EQ(port_->RxIrpDone, 0);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, ACompletionBeforeTheCancelLeavesTheCancellerNothing) {
  ASSERT_TRUE(handset_->DeliverIn({'q'}));
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  CancelTransfer(port_, ReceiveDirection);  // nothing in flight
  CancelTransfer(port_, TransmitDirection);
}

TEST_F(BulkTransfers, AbortAllGoesOnWhenTheBusNeverCompletesTheCancel) {
  handset_->SetCancelMode(UsbHandset::CancelMode::Ignored);
  LONGLONG start = kemu::Now();
  AbortWithForce();
  EXPECT_TRUE(Logged("Waiting usb rx,tx event timeout !!!\n"));
  EXPECT_EQ(kemu::Now() - start, 50000000);  // five seconds of the emulated clock
  EXPECT_EQ(handset_->CompleteIgnoredCancels(), 1u);
  EXPECT_EQ(handset_->PendingIn(), 1u);  // the abort is over and the port open: reception goes on
  EXPECT_EQ(kemu::IrpsInUse(), 1u);
  handset_->SetCancelMode(UsbHandset::CancelMode::Inside);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(BulkTransfers, CleanupKeepsTheTransfersAndCloseStopsThem) {
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PendingIn(), 1u);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PendingIn(), 0u);
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
}

// A bridge to a real byte stream takes each bulk-OUT transfer by its serial number: one cancelled
// while the bridge held its bytes is not completed in its place, and the next one is told apart.
TEST_F(BulkTransfers, ABridgeCompletesExactlyTheTransferWhoseBytesItTook) {
  handset_->SetOutCompletesLater(true);
  handset_->KeepOutTransfers(false);
  int hooked = 0;
  handset_->SetTransferHook([&hooked] { ++hooked; });
  kemu::Request first = kemu::Request::Write(fdo_, {'a', 'b', 'c'});
  first.Send();
  EXPECT_EQ(hooked, 1);
  std::optional<UsbHandset::OutTransfer> taken = handset_->OldestPendingOut();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->bytes, (std::vector<UCHAR>{'a', 'b', 'c'}));
  first.Cancel();
  kemu::RunUntilIdle();
  EXPECT_EQ(first.Status(), STATUS_CANCELLED);
  kemu::Request second = kemu::Request::Write(fdo_, {'d'});
  second.Send();
  std::optional<UsbHandset::OutTransfer> next = handset_->OldestPendingOut();
  ASSERT_TRUE(next);
  EXPECT_NE(next->serial, taken->serial);
  EXPECT_FALSE(handset_->CompleteOutTransfer(taken->serial));
  bool claimed = false;
  EXPECT_TRUE(handset_->CompleteOutTransfer(next->serial, [&claimed] { claimed = true; }));
  EXPECT_TRUE(claimed);
  kemu::RunUntilIdle();
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(handset_->OutTransfers().empty());
  EXPECT_EQ(hooked, 2);
  handset_->SetTransferHook(nullptr);
}

}  // namespace
}  // namespace quenta
