// The read path: reads served from the ring and in direct mode, the ring's wrap, the flow-control
// characters and the data count, queue-size changes, purges of the receive side, and the one
// lock order they share.
#include <numeric>

#include "serial_port_fixture.h"

namespace quenta {
namespace {

using ReadPath = SerialPortTest;

std::vector<UCHAR> Counting(size_t count, size_t from = 0) {
  std::vector<UCHAR> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = UCHAR((from + i) * 7);
  return bytes;
}

std::string Text(const std::vector<UCHAR>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(ReadPath, AReadLargerThanTheRingIsFilledDirectly) {
  ASSERT_EQ(port_->RingSize, 4096u);
  kemu::Request read = Read(10000);
  ASSERT_FALSE(read.Completed());
  std::vector<UCHAR> sent = Counting(5 * 2048);
  for (size_t i = 0; i < 5; ++i) Deliver(std::vector<UCHAR>(sent.begin() + i * 2048, sent.begin() + (i + 1) * 2048));
  Settle();
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Received(read), Text(std::vector<UCHAR>(sent.begin(), sent.begin() + 10000)));
  // Only the bytes after the read's end went into the ring.
  EXPECT_EQ(RingBytes(port_), std::vector<UCHAR>(sent.begin() + 10000, sent.end()));
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 10240u);
}

TEST_F(ReadPath, BytesComeOutInOrderAcrossTheRingsWrap) {
  ASSERT_EQ(Close(fdo_), STATUS_SUCCESS);
  kemu::SetSystemSize(MmSmallSystem);
  OpenPort(fdo_);
  ASSERT_EQ(port_->RingSize, 128u);
  SetTimeouts(MAXULONG, 0, 0);  // return at once with what is there
  std::vector<UCHAR> sent = Counting(300);
  Deliver(std::vector<UCHAR>(sent.begin(), sent.begin() + 100));
  EXPECT_EQ(Received(Read(80)), Text(std::vector<UCHAR>(sent.begin(), sent.begin() + 80)));
  Deliver(std::vector<UCHAR>(sent.begin() + 100, sent.begin() + 200));  // wraps past the end
  EXPECT_EQ(port_->CharsInRing, 120u);
  EXPECT_EQ(Received(Read(120)), Text(std::vector<UCHAR>(sent.begin() + 80, sent.begin() + 200)));
  Deliver(std::vector<UCHAR>(sent.begin() + 200, sent.end()));
  EXPECT_EQ(Received(Read(200)), Text(std::vector<UCHAR>(sent.begin() + 200, sent.end())));
}

TEST_F(ReadPath, AWaitingReadTakesWhatTheRingHeldFirst) {
  Deliver("abc");
  kemu::Request read = Read(6);
  EXPECT_FALSE(read.Completed());
  EXPECT_EQ(port_->CharsInRing, 0u);
  Deliver("defgh");
  Settle();
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(Received(read), "abcdef");
  EXPECT_EQ(RingBytes(port_), Bytes(std::string("gh")));
}

// A cancelled read takes nothing from the ring: bytes it took would go with it while the ring went
// on counting them, and the next read would return stale bytes.
TEST_F(ReadPath, AReadCancelledBeforeItStartsTakesNothingFromTheRing) {
  Deliver("keep");
  kemu::Request cancelled = kemu::Request::Read(fdo_, 10);
  EXPECT_FALSE(cancelled.Cancel());  // not in the driver yet: only marked
  EXPECT_EQ(cancelled.Send(), STATUS_CANCELLED);
  EXPECT_EQ(cancelled.Information(), 0u);
  SetTimeouts(MAXULONG, 0, 0);
  EXPECT_EQ(Received(Read(10)), "keep");
  EXPECT_EQ(port_->CharsInRing, 0u);
}

TEST_F(ReadPath, ReadsAreServedFirstInFirstOutAndAnEmptyOneCompletesAtOnce) {
  kemu::Request first = Read(2), second = Read(3);
  kemu::Request empty = Read(0);
  EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
  EXPECT_EQ(empty.Information(), 0u);
  Deliver("12345");
  Settle();
  EXPECT_EQ(Received(first), "12");
  EXPECT_EQ(Received(second), "345");
}

TEST_F(ReadPath, XonAndXoffAreConsumedOnlyUnderAutoTransmitAndAreNotCountedAsData) {
  Deliver(
      "a\x13"
      "b\x11"
      "c");
  EXPECT_EQ(RingBytes(port_), Bytes(std::string("a\x13"
                                                "b\x11"
                                                "c")));
  SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
  flow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
  Deliver(
      "d\x13"
      "e");
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, SERIAL_TX_WAITING_FOR_XON);
  Deliver("f\x11");
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0u);
  EXPECT_EQ(RingBytes(port_), Bytes(std::string("a\x13"
                                                "b\x11"
                                                "cdef")));
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 8u);
}

TEST_F(ReadPath, AFullRingCountsEveryDroppedByteAsOverrun) {
  Deliver(Counting(2048));
  Deliver(Counting(2048));
  Deliver(Counting(100));
  EXPECT_EQ(port_->CharsInRing, 4096u);
  SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
  EXPECT_EQ(stats.BufferOverrunErrorCount, 100u);
  EXPECT_EQ(stats.ReceivedCount, 4096u);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, SERIAL_ERROR_QUEUEOVERRUN);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);  // read and cleared
  ASSERT_EQ(Control(IOCTL_SERIAL_CLEAR_STATS).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).BufferOverrunErrorCount, 0u);
}

SERIAL_QUEUE_SIZE QueueSize(ULONG in) { return SERIAL_QUEUE_SIZE{in, 0}; }

TEST_F(ReadPath, AQueueSizeChangeOnlyGrowsTheRingAndKeepsTheUnreadBytes) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, QueueSize(100)), STATUS_SUCCESS);
  EXPECT_EQ(port_->RingSize, 4096u);
  SetTimeouts(MAXULONG, 0, 0);
  std::vector<UCHAR> sent = Counting(6000);
  Deliver(std::vector<UCHAR>(sent.begin(), sent.begin() + 2048));
  Deliver(std::vector<UCHAR>(sent.begin() + 2048, sent.begin() + 4000));
  ASSERT_EQ(Received(Read(3000)).size(), 3000u);
  Deliver(std::vector<UCHAR>(sent.begin() + 4000, sent.begin() + 6000));  // wraps in the 4 KiB ring
  size_t blocks = kemu::PoolBlocksInUse(kComx);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, QueueSize(16384)), STATUS_SUCCESS);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), blocks);  // the old ring went
  EXPECT_EQ(port_->RingSize, 16384u);
  EXPECT_EQ(port_->HandFlow.XonLimit, 8192);
  EXPECT_EQ(port_->HandFlow.XoffLimit, 2048);
  EXPECT_EQ(port_->RingHighWater, 16384u / 4 * 3 + 16384u / 16);
  EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 16384u);
  Deliver(Counting(100, 6000));
  std::vector<UCHAR> expected(sent.begin() + 3000, sent.end());
  std::vector<UCHAR> more = Counting(100, 6000);
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(Received(Read(5000)), Text(expected));
}

TEST_F(ReadPath, AQueueSizeTheCallerCannotBeChargedForFailsCleanly) {
  // The quota allocation must fail rather than raise: the emulation ends the test if it would.
  kemu::FailPoolAllocations({kComx, 1 << 20});
  kemu::Request request = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(QueueSize(1 << 20)));
  EXPECT_EQ(request.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port_->RingSize, 4096u);
}

TEST_F(ReadPath, AQueueSizeChangeWaitsBehindTheCurrentRead) {
  kemu::Request read = Read(5);
  kemu::Request grow = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(QueueSize(8192)));
  EXPECT_EQ(grow.Status(), STATUS_PENDING);
  EXPECT_EQ(port_->RingSize, 4096u);
  Deliver("12345678");
  Settle();
  EXPECT_EQ(Received(read), "12345");
  ASSERT_TRUE(grow.Completed());
  EXPECT_EQ(grow.Status(), STATUS_SUCCESS);
  EXPECT_EQ(port_->RingSize, 8192u);
  EXPECT_EQ(RingBytes(port_), Bytes(std::string("678")));
}

// Purge (ControlLock, then ReceiveLock), a queue-size change and a read's start meet the ring
// in one lock order; the emulation ends the test at the first inversion it sees.
TEST_F(ReadPath, PurgeQueueSizeAndReadsShareOneLockOrder) {
  Deliver("old bytes");
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
  EXPECT_EQ(port_->CharsInRing, 0u);
  Deliver("new");
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, QueueSize(5000)), STATUS_SUCCESS);
  SetTimeouts(MAXULONG, 0, 0);
  EXPECT_EQ(Received(Read(10)), "new");
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
}

TEST_F(ReadPath, ReadsAndWritesNeedAnOpenPort) {
  ASSERT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Read(4).Status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Write("x").Status(), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace quenta
