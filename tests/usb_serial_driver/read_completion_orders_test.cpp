// A waiting read is held by its data side, its cancel routine and its timers; each order in which
// they let go completes it exactly once (the emulation ends the test on a second completion),
// with the status of the last one, and puts the receive side back on the ring.
#include "receive_ring.h"
#include "serial_port_fixture.h"

namespace quenta {
namespace {

class ReadCompletionOrders : public SerialPortTest {
 protected:
  void FireTimers(LONGLONG milliseconds) { kemu::AdvanceTime(Milliseconds(milliseconds) + kemu::kWindowsClockTick); }
  void ExpectBackOnTheRing() {
    EXPECT_FALSE(FillingReadDirectly(port_));
    Deliver("z");
    EXPECT_EQ(RingBytes(port_), Bytes(std::string("z")));
  }
};

TEST_F(ReadCompletionOrders, ACancelBeforeTheReadIsFilledReportsNothing) {
  kemu::Request read = Read(4);
  Deliver("ab");
  EXPECT_TRUE(read.Cancel());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
  ExpectBackOnTheRing();
}

TEST_F(ReadCompletionOrders, ACancelAfterTheCompletionDpcIsQueuedLeavesTheReadToIt) {
  kemu::Request read = Read(4);
  Deliver("abcd");
  EXPECT_EQ(kemu::QueuedDpcCount(), 1u);
  EXPECT_TRUE(read.Cancel());
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Received(read), "abcd");
  ExpectBackOnTheRing();
}

TEST_F(ReadCompletionOrders, ATotalTimerThatFiredWhileTheCompletionDpcWaitsCannotBeTakenBack) {
  SetTimeouts(0, 0, 100);
  kemu::Request read = Read(4);
  Deliver("abcd");
  FireTimers(100);  // the timer's DPC is queued behind the completion DPC
  EXPECT_EQ(kemu::QueuedDpcCount(), 2u);
  EXPECT_TRUE(kemu::RunNextDpc());
  EXPECT_FALSE(read.Completed());  // KeCancelTimer said FALSE: the timer's DPC still holds it
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);  // the last holder's status, with every byte
  EXPECT_EQ(Received(read), "abcd");
  EXPECT_EQ(port_->PendingDpcCount, 1);
}

TEST_F(ReadCompletionOrders, ATotalTimerDpcAheadOfTheCompletionDpcWaitsForTheDataSide) {
  SetTimeouts(0, 0, 100);
  kemu::Request read = Read(4);
  FireTimers(100);
  Deliver("abcd");  // filled after the timer fired, before its DPC ran
  EXPECT_TRUE(kemu::RunNextDpc());
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Received(read), "abcd");
}

TEST_F(ReadCompletionOrders, AnIntervalTimerThatFiredIsLeftToItsDpcByTheCompletion) {
  SetTimeouts(20, 0, 0);
  kemu::Request read = Read(4);
  Deliver("abcd");
  FireTimers(0);  // the interval timer's next look is due
  EXPECT_EQ(kemu::QueuedDpcCount(), 2u);
  EXPECT_TRUE(kemu::RunNextDpc());
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Received(read), "abcd");
  EXPECT_EQ(kemu::ArmedTimerCount(), 0u);
}

TEST_F(ReadCompletionOrders, ACancelMeetingAnIntervalTimerThatFiredEndsCancelled) {
  SetTimeouts(20, 0, 0);
  kemu::Request read = Read(4);
  Deliver("ab");
  FireTimers(0);
  EXPECT_TRUE(read.Cancel());
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
  ExpectBackOnTheRing();
}

TEST_F(ReadCompletionOrders, ACancelMeetingATotalTimerThatFiredCompletesOnce) {
  SetTimeouts(0, 0, 100);
  kemu::Request read = Read(4);
  Deliver("ab");
  FireTimers(100);
  EXPECT_TRUE(read.Cancel());
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(kemu::RunNextDpc());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  ExpectBackOnTheRing();
}

TEST_F(ReadCompletionOrders, AnArmedTimerIsTakenBackWithItsDpcCount) {
  SetTimeouts(20, 10, 100);
  kemu::Request read = Read(4);
  EXPECT_EQ(kemu::ArmedTimerCount(), 2u);
  EXPECT_EQ(port_->PendingDpcCount, 3);
  Deliver("abcd");
  Settle();
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(kemu::ArmedTimerCount(), 0u);
  EXPECT_EQ(port_->PendingDpcCount, 1);
}

}  // namespace
}  // namespace quenta
