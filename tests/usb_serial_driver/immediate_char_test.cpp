// The immediate character: one byte through the bulk-OUT pipe outside the write queue, refused
// while the pipe carries a write and refusing writes while it carries the character, one at a
// time, with its own time-out and cancel.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

class ImmediateChar : public SerialPortTest {
 protected:
  kemu::Request Immediate(UCHAR c) { return Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {c}); }
  LONG Queued() { return port_->TotalCharsQueued; }
};

TEST_F(ImmediateChar, GoesOutAtOnceAndCompletes) {
  SetWaitMask(SERIAL_EV_TXEMPTY);
  kemu::Request immediate = Immediate('!');
  EXPECT_EQ(immediate.Status(), STATUS_PENDING);
  Settle();
  ASSERT_TRUE(immediate.Completed());
  EXPECT_EQ(immediate.Status(), STATUS_SUCCESS);
  EXPECT_EQ(handset_->OutTransfers(), (std::vector<std::vector<UCHAR>>{{'!'}}));
  EXPECT_EQ(Queued(), 0);
  // Having gone out, it left the transmit side empty.
  kemu::Request wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  Settle();
  EXPECT_EQ(wait.Output(), Bytes(ULONG(SERIAL_EV_TXEMPTY)));
}

// A refused character never marks itself in flight: otherwise the write's next completion would
// be taken for the character's, and the write would stop.
TEST_F(ImmediateChar, IsRefusedWhileAWriteIsSentAndLeavesTheWriteAlone) {
  handset_->SetOutCompletesLater(true);
  kemu::Request write = Write(std::vector<UCHAR>(3000, 'w'));
  kemu::Request immediate = Immediate('!');
  EXPECT_EQ(port_->ImmediateInFlight, FALSE);
  ASSERT_TRUE(handset_->CompleteOut());   // before the refused character's DPC runs
  EXPECT_EQ(handset_->PendingOut(), 1u);  // the write went on with its next transfer
  Settle();
  ASSERT_TRUE(immediate.Completed());
  EXPECT_EQ(immediate.Status(), STATUS_TIMEOUT);
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 3000u);
  EXPECT_EQ(handset_->OutTransfers().size(), 2u);  // no '!' among them
  EXPECT_EQ(Queued(), 0);
}

TEST_F(ImmediateChar, AWriteArrivingWhileTheCharacterIsOutIsRefused) {
  handset_->SetOutCompletesLater(true);
  kemu::Request immediate = Immediate('!');
  EXPECT_TRUE(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).WaitForImmediate);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 1u);
  kemu::Request write = Write("late");
  Settle();
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 0u);
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(immediate.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Queued(), 0);
}

TEST_F(ImmediateChar, OneAtATime) {
  handset_->SetOutCompletesLater(true);
  kemu::Request first = Immediate('a');
  EXPECT_EQ(Immediate('b').Status(), STATUS_INVALID_PARAMETER);
  ASSERT_TRUE(handset_->CompleteOut());
  Settle();
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
}

TEST_F(ImmediateChar, TimesOutAndCancelsLikeAWrite) {
  handset_->SetOutCompletesLater(true);
  SetTimeouts(0, 0, 0, 0, 50);
  kemu::Request timed = Immediate('t');
  kemu::AdvanceTime(Milliseconds(50) + kemu::kWindowsClockTick);
  Settle();
  ASSERT_TRUE(timed.Completed());
  EXPECT_EQ(timed.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(handset_->PendingOut(), 0u);  // its transfer was cancelled
  kemu::Request cancelled = Immediate('c');
  EXPECT_TRUE(cancelled.Cancel());
  Settle();
  ASSERT_TRUE(cancelled.Completed());
  EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
  EXPECT_EQ(Queued(), 0);
  EXPECT_FALSE(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).WaitForImmediate);
}

// A pending immediate character is cancelled when its handle closes, like every other request.
TEST_F(ImmediateChar, CleanupCancelsAPendingCharacter) {
  handset_->SetOutCompletesLater(true);
  kemu::Request immediate = Immediate('x');
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  Settle();
  ASSERT_TRUE(immediate.Completed());
  EXPECT_EQ(immediate.Status(), STATUS_CANCELLED);
}

}  // namespace
}  // namespace quenta
