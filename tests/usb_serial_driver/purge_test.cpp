// Purge of each kind with requests pending, and the masks it refuses.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

class Purge : public SerialPortTest {
 protected:
  NTSTATUS PurgeWith(ULONG mask) { return Set(IOCTL_SERIAL_PURGE, mask); }
};

TEST_F(Purge, TxAbortCancelsTheCurrentAndQueuedWritesOnly) {
  handset_->SetOutCompletesLater(true);
  kemu::Request current = Write(std::vector<UCHAR>(3000, 'a'));
  kemu::Request queued = Write("queued");
  kemu::Request read = Read(5);
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
  Settle();
  ASSERT_TRUE(current.Completed() && queued.Completed());
  EXPECT_EQ(current.Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
  EXPECT_EQ(handset_->PendingOut(), 0u);
  EXPECT_EQ(port_->TotalCharsQueued, 0);
  EXPECT_FALSE(read.Completed());
}

TEST_F(Purge, RxAbortCancelsTheReadsAndQueueSizeChangesOnly) {
  handset_->SetOutCompletesLater(true);
  kemu::Request current = Read(5);
  Deliver("ab");
  kemu::Request queued = Read(5);
  SERIAL_QUEUE_SIZE size = {8192, 0};
  kemu::Request grow = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size));
  kemu::Request write = Write("w");
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(current.Completed() && queued.Completed() && grow.Completed());
  EXPECT_EQ(current.Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
  EXPECT_EQ(grow.Status(), STATUS_CANCELLED);  // and the buffer it carried is freed
  EXPECT_EQ(port_->RingSize, 4096u);
  EXPECT_FALSE(write.Completed());
  Deliver("cd");
  EXPECT_EQ(RingBytes(port_), Bytes(std::string("cd")));  // the ring took over again
}

TEST_F(Purge, RxClearEmptiesTheRingButNotAWaitingReadsBuffer) {
  Deliver("stale");
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);
  kemu::Request read = Read(4);
  Deliver("ab");
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  Deliver("cd");
  Settle();
  EXPECT_EQ(Received(read), "abcd");
}

TEST_F(Purge, AnEmptyMaskOrUnknownBitsAreRefused) {
  EXPECT_EQ(PurgeWith(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PurgeWith(0x10), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace quenta
