// The wait mask: events raised by the receive path, recorded in the history, reported to the
// one wait request; a mask change answering a pending wait with 0; refused waits; cancels.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

class WaitMask : public SerialPortTest {
 protected:
  kemu::Request Wait() { return Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }
  static ULONG Mask(const kemu::Request& wait) {
    ULONG mask;
    memcpy(&mask, wait.Output().data(), sizeof mask);
    return mask;
  }
  ULONG History() { return port_->HistoryMask; }
};

TEST_F(WaitMask, AReceivedByteAnswersTheWaitAndLaterBytesAreRecorded) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), ULONG(SERIAL_EV_RXCHAR));
  kemu::Request wait = Wait();
  EXPECT_FALSE(wait.Completed());
  Deliver("ab");
  Settle();
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Information(), 4u);
  EXPECT_EQ(Mask(wait), ULONG(SERIAL_EV_RXCHAR));
  EXPECT_EQ(History(), ULONG(SERIAL_EV_RXCHAR));  // the second byte came after the report
  kemu::Request found = Wait();                   // finds the history and completes at once
  Settle();
  EXPECT_EQ(Mask(found), ULONG(SERIAL_EV_RXCHAR));
  EXPECT_EQ(History(), 0u);
}

TEST_F(WaitMask, TheEventCharacterRaisesRxFlag) {
  SERIAL_CHARS chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
  chars.EventChar = '\n';
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  SetWaitMask(SERIAL_EV_RXFLAG);
  kemu::Request wait = Wait();
  Deliver("abc");
  Settle();
  EXPECT_FALSE(wait.Completed());
  Deliver("d\n");
  Settle();
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(Mask(wait), ULONG(SERIAL_EV_RXFLAG));
}

TEST_F(WaitMask, RingEightyPercentFullIsRaisedOncePerCrossing) {
  SetWaitMask(SERIAL_EV_RX80FULL);
  ULONG mark = port_->RingHighWater;  // 3328 of 4096
  Deliver(std::vector<UCHAR>(2048, 'a'));
  Deliver(std::vector<UCHAR>(mark - 2048 - 1, 'b'));
  EXPECT_EQ(History(), 0u);
  Deliver("c");  // reaches the mark
  EXPECT_EQ(History(), ULONG(SERIAL_EV_RX80FULL));
  port_->HistoryMask = 0;
  Deliver("d");
  EXPECT_EQ(History(), 0u);  // above the mark: not again
  SetTimeouts(MAXULONG, 0, 0);
  EXPECT_EQ(Read(100).Information(), 100u);  // falls below
  Deliver(std::vector<UCHAR>(100, 'e'));     // and reaches it again
  EXPECT_EQ(History(), ULONG(SERIAL_EV_RX80FULL));
}

TEST_F(WaitMask, SettingTheMaskAnswersAPendingWaitWithZeroAndKeepsWantedHistory) {
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  kemu::Request wait = Wait();
  SetWaitMask(SERIAL_EV_RXCHAR);
  Settle();
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Information(), 4u);
  EXPECT_EQ(Mask(wait), 0u);
  port_->HistoryMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
  SetWaitMask(SERIAL_EV_RXFLAG | SERIAL_EV_BREAK);
  EXPECT_EQ(History(), ULONG(SERIAL_EV_RXFLAG));
}

TEST_F(WaitMask, ASecondWaitAndAWaitWithoutAMaskAreRefused) {
  EXPECT_EQ(Wait().Status(), STATUS_INVALID_PARAMETER);
  SetWaitMask(SERIAL_EV_RXCHAR);
  kemu::Request wait = Wait();
  EXPECT_EQ(Wait().Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x2000)), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(wait.Cancel());
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
  EXPECT_EQ(wait.Information(), 0u);
}

// A cancel that meets a report already on its way leaves the wait to the report: were the cancel
// to complete it, the report's CommWaitDpc would complete whatever wait came next.
TEST_F(WaitMask, ACancelMeetingAReportLeavesTheWaitToTheReport) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  kemu::Request wait = Wait();
  Deliver("x");  // reported; CommWaitDpc queued
  EXPECT_TRUE(wait.Cancel());
  EXPECT_FALSE(wait.Completed());
  kemu::Request next = Wait();  // refused while the first is still the wait request
  EXPECT_EQ(next.Status(), STATUS_INVALID_PARAMETER);
  Settle();
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Mask(wait), ULONG(SERIAL_EV_RXCHAR));
  EXPECT_EQ(port_->CurrentWaitIrp, nullptr);
}

TEST_F(WaitMask, ValuesOutsideTheKnownEventsAreRefusedAndUnraisedOnesAccepted) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x1FFF)), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
  kemu::Request wait = Wait();
  Settle();
  EXPECT_FALSE(wait.Completed());  // CTS, DSR, break and the others are never raised
}

}  // namespace
}  // namespace quenta
