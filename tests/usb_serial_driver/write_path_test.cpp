// The write path: writes in bulk-OUT transfers of at most 2048 bytes, flushes in order, the
// total time-out, cancels, failed transfers, what the status request counts as still to send,
// and SERIAL_EV_TXEMPTY.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

using kemu::UsbHandset;

class WritePath : public SerialPortTest {
 protected:
  void DeviceTakesItsTime() { handset_->SetOutCompletesLater(true); }
  std::vector<size_t> TransferSizes() {
    std::vector<size_t> sizes;
    for (auto& transfer : handset_->OutTransfers()) sizes.push_back(transfer.size());
    return sizes;
  }
  ULONG StillToSend() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue; }
  void FireTimers(LONGLONG milliseconds) {
    kemu::AdvanceTime(Milliseconds(milliseconds) + kemu::kWindowsClockTick);
    Settle();
  }
};

std::vector<UCHAR> Pattern(size_t count) {
  std::vector<UCHAR> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = UCHAR(i * 13 + 1);
  return bytes;
}

TEST_F(WritePath, FiveThousandBytesGoOutAsTwoFullTransfersAndTheRest) {
  std::vector<UCHAR> data = Pattern(5000);
  kemu::Request write = Write(data);
  EXPECT_FALSE(write.Completed());  // it completes from its DPC
  Settle();
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 5000u);
  EXPECT_EQ(TransferSizes(), (std::vector<size_t>{2048, 2048, 904}));
  std::vector<UCHAR> sent;
  for (auto& transfer : handset_->OutTransfers()) sent.insert(sent.end(), transfer.begin(), transfer.end());
  EXPECT_EQ(sent, data);
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5000u);
  EXPECT_EQ(StillToSend(), 0u);
}

// The handset completes each transfer inside the driver's IoCallDriver; the next one must not be
// sent from inside that completion, or a long write would nest a stack frame set per transfer.
TEST_F(WritePath, ALongWriteTheHandsetTakesAtOnceNeverNestsItsTransfers) {
  kemu::DeepestCallNesting();  // from here on
  kemu::Request write = Write(Pattern(64 * 1024));
  Settle();
  EXPECT_EQ(write.Information(), 64u * 1024);
  EXPECT_EQ(handset_->OutTransfers().size(), 32u);
  EXPECT_LE(kemu::DeepestCallNesting(), 2);  // the write itself, and one transfer under it
}

TEST_F(WritePath, EachTransferWaitsForTheOneBeforeAndTheStatusCountsWhatIsLeft) {
  DeviceTakesItsTime();
  kemu::Request first = Write(Pattern(5000));
  kemu::Request second = Write(Pattern(100));
  EXPECT_EQ(handset_->PendingOut(), 1u);
  EXPECT_EQ(StillToSend(), 5100u);
  ASSERT_TRUE(handset_->CompleteOut());
  EXPECT_EQ(StillToSend(), 5100u - 2048u);
  ASSERT_TRUE(handset_->CompleteOut());
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_FALSE(second.Completed());
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_EQ(StillToSend(), 0u);
  EXPECT_EQ(TransferSizes(), (std::vector<size_t>{2048, 2048, 904, 100}));
}

TEST_F(WritePath, AnEmptyWriteAndAFlushOfAnIdleQueueCompleteAtOnce) {
  kemu::Request write = Write(std::vector<UCHAR>{});
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 0u);
  kemu::Request flush = kemu::Request::Flush(fdo_);
  EXPECT_EQ(flush.Send(), STATUS_SUCCESS);
  EXPECT_TRUE(handset_->OutTransfers().empty());
}

TEST_F(WritePath, AFlushCompletesAfterEveryWriteQueuedBeforeIt) {
  DeviceTakesItsTime();
  kemu::Request first = Write("one"), second = Write("two");
  kemu::Request flush = kemu::Request::Flush(fdo_);
  EXPECT_EQ(flush.Send(), STATUS_PENDING);
  kemu::Request third = Write("three");
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_TRUE(first.Completed());
  EXPECT_FALSE(flush.Completed());
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_TRUE(second.Completed());
  ASSERT_TRUE(flush.Completed());
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  EXPECT_FALSE(third.Completed());  // behind the flush, and now under way
  EXPECT_EQ(handset_->PendingOut(), 1u);
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(third.Status(), STATUS_SUCCESS);
}

TEST_F(WritePath, ATimedOutWriteReportsTheBytesTheDeviceAccepted) {
  DeviceTakesItsTime();
  SetTimeouts(0, 0, 0, 0, 100);
  kemu::Request write = Write(Pattern(5000));
  ASSERT_TRUE(handset_->CompleteOut());
  EXPECT_EQ(handset_->PendingOut(), 1u);
  FireTimers(100);
  EXPECT_EQ(handset_->PendingOut(), 0u);  // the transfer in flight was cancelled
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 2048u);
  EXPECT_EQ(StillToSend(), 0u);
  kemu::Request next = Write("next");  // the pipe is free again
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(next.Status(), STATUS_SUCCESS);
}

TEST_F(WritePath, WithoutWriteTimeOutsAWriteWaitsForTheDeviceWithoutLimit) {
  DeviceTakesItsTime();
  SetTimeouts(0, 0, 0, 0, 0);
  kemu::Request write = Write("patience");
  kemu::AdvanceTime(Milliseconds(3600 * 1000LL));
  Settle();
  EXPECT_FALSE(write.Completed());
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(WritePath, ACancelledWriteReportsNoBytesWhateverWasSent) {
  DeviceTakesItsTime();
  kemu::Request write = Write(Pattern(3000));
  ASSERT_TRUE(handset_->CompleteOut());
  EXPECT_TRUE(write.Cancel());
  Settle();
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(write.Information(), 0u);
  EXPECT_EQ(handset_->PendingOut(), 0u);
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 2048u);
}

TEST_F(WritePath, ATransferRefusedByItsUrbStatusLeavesTheWriteToItsTimeOut) {
  DeviceTakesItsTime();
  SetTimeouts(0, 0, 0, 0, 100);
  kemu::Request write = Write(Pattern(3000));
  ASSERT_TRUE(handset_->CompleteOut(STATUS_SUCCESS, USBD_STATUS_STALL_PID));
  Settle();
  EXPECT_FALSE(write.Completed());
  EXPECT_EQ(handset_->PendingOut(), 0u);  // nothing more is sent
  FireTimers(100);
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 0u);
}

// A write whose transfer failed ends with its cancel; waiting on for a transfer that will never
// come back would leave it pending for ever.
TEST_F(WritePath, AWriteWhoseTransferFailedEndsWithItsCancel) {
  DeviceTakesItsTime();
  kemu::Request write = Write(Pattern(3000));
  ASSERT_TRUE(handset_->CompleteOut(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_TRUE(port_->ErrorWord & DeviceErrorLatch);
  EXPECT_FALSE(write.Completed());
  EXPECT_TRUE(write.Cancel());
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(Write("x").Status(), STATUS_CANCELLED);  // the latch
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, DeviceErrorLatch);
  kemu::Request after = Write("y");
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(after.Status(), STATUS_SUCCESS);
}

TEST_F(WritePath, ATimeOutAndACancelBothBeforeTheTransferReturnsCompleteItOnce) {
  DeviceTakesItsTime();
  handset_->SetCancelMode(UsbHandset::CancelMode::Ignored);
  SetTimeouts(0, 0, 0, 0, 100);
  kemu::Request write = Write(Pattern(3000));
  kemu::AdvanceTime(Milliseconds(100) + kemu::kWindowsClockTick);  // the timer fired; its DPC waits
  EXPECT_TRUE(write.Cancel());
  Settle();
  EXPECT_FALSE(write.Completed());  // the cancelled transfer is not back
  EXPECT_EQ(handset_->CompleteIgnoredCancels(), 1u);
  handset_->SetCancelMode(UsbHandset::CancelMode::Inside);
  Settle();
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(write.Information(), 0u);
}

TEST_F(WritePath, ACancelAfterTheTimeOutHasTakenOverFindsNothingToCancel) {
  DeviceTakesItsTime();
  SetTimeouts(0, 0, 0, 0, 100);
  kemu::Request write = Write(Pattern(3000));
  ASSERT_TRUE(handset_->CompleteOut());
  FireTimers(100);
  ASSERT_TRUE(write.Completed());
  EXPECT_FALSE(write.Cancel());
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 2048u);
}

TEST_F(WritePath, AWriteWhoseBytesWereAllAcceptedStaysSuccessfulThroughALateCancel) {
  DeviceTakesItsTime();
  kemu::Request write = Write("done");
  ASSERT_TRUE(handset_->CompleteOut());
  EXPECT_TRUE(write.Cancel());
  EXPECT_FALSE(write.Completed());  // its completion DPC is on its way
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 4u);
}

TEST_F(WritePath, TheDevicesAcceptedCountDecidesWhatIsSentNext) {
  DeviceTakesItsTime();
  std::vector<UCHAR> data = Pattern(3000);
  kemu::Request write = Write(data);
  ASSERT_TRUE(handset_->CompleteOut(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1000));  // a short acceptance
  ASSERT_EQ(handset_->OutTransfers().size(), 2u);
  EXPECT_EQ(handset_->OutTransfers()[1], std::vector<UCHAR>(data.begin() + 1000, data.begin() + 3000));
  ASSERT_TRUE(handset_->CompleteOut(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 9999));  // more than was sent
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 3000u);
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 3000u);
}

TEST_F(WritePath, TransmitEmptyIsReportedOnceNothingIsLeftToSend) {
  DeviceTakesItsTime();
  SetWaitMask(SERIAL_EV_TXEMPTY);
  kemu::Request wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  kemu::Request write = Write("abc");
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Information(), 4u);
  EXPECT_EQ(wait.Output(), Bytes(ULONG(SERIAL_EV_TXEMPTY)));
  // Emptied with no wait armed: the next wait finds it recorded; a flush does not raise it again.
  kemu::Request again = Write("de");
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(kemu::Request::Flush(fdo_).Send(), STATUS_SUCCESS);
  kemu::Request found = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  Settle();
  EXPECT_EQ(found.Output(), Bytes(ULONG(SERIAL_EV_TXEMPTY)));
  kemu::Request none = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  Settle();
  EXPECT_FALSE(none.Completed());
}

}  // namespace
}  // namespace quenta
