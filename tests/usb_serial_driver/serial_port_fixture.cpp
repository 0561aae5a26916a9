#include "serial_port_fixture.h"

namespace quenta {

void SerialPortTest::SetUp() {
  AttachedPortTest::SetUp();
  OpenPort(fdo_);
}

void SerialPortTest::TearDown() {
  if (fdo_ && handset_->Pdo()->AttachedDevice && port_->OpenCount > 0) {
    EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  }
  AttachedPortTest::TearDown();
}

kemu::Request SerialPortTest::Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength) {
  kemu::Request request = kemu::Request::DeviceControl(fdo_, code, input, outputLength);
  request.Send();
  return request;
}

kemu::Request SerialPortTest::Read(ULONG length) {
  kemu::Request request = kemu::Request::Read(fdo_, length);
  request.Send();
  return request;
}

kemu::Request SerialPortTest::Write(const std::vector<UCHAR>& data) {
  kemu::Request request = kemu::Request::Write(fdo_, data);
  request.Send();
  return request;
}

void SerialPortTest::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier,
                                 ULONG writeConstant) {
  SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
}

void SerialPortTest::SetWaitMask(ULONG mask) { ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS); }

void SerialPortTest::Deliver(const std::vector<UCHAR>& bytes) { ASSERT_TRUE(handset_->DeliverIn(bytes)); }

std::string SerialPortTest::Received(const kemu::Request& read) {
  std::vector<UCHAR> buffer = read.Output();
  return std::string(buffer.begin(), buffer.begin() + std::min<size_t>(buffer.size(), read.Information()));
}

}  // namespace quenta
