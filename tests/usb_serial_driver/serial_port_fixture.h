// The fixture of the read, write and serial-request tests: one handset attached and its port
// open, with helpers that send the requests an application would. A test that leaves the port
// open has it cleaned up and closed, as a closing handle would, before the kernel's checks.
#pragma once

#include <string>
#include <vector>

#include "driver_fixture.h"

namespace quenta {

class SerialPortTest : public AttachedPortTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sent at once; the returned request holds its result.
  kemu::Request Control(ULONG code, const std::vector<UCHAR>& input = {}, ULONG outputLength = 0);
  kemu::Request Read(ULONG length);
  kemu::Request Write(const std::vector<UCHAR>& data);
  kemu::Request Write(const std::string& text) { return Write(Bytes(text)); }

  template <typename T>
  static std::vector<UCHAR> Bytes(const T& value) {
    auto begin = reinterpret_cast<const UCHAR*>(&value);
    return std::vector<UCHAR>(begin, begin + sizeof value);
  }
  static std::vector<UCHAR> Bytes(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }
  template <typename T>
  static bool SameBytes(const T& a, const T& b) {
    return memcmp(&a, &b, sizeof a) == 0;
  }
  // A GET request that must succeed with sizeof(T) bytes.
  template <typename T>
  T Get(ULONG code) {
    kemu::Request request = Control(code, {}, sizeof(T));
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(request.Information(), sizeof(T));
    T value;
    std::vector<UCHAR> output = request.Output();
    memcpy(&value, output.data(), sizeof value);
    return value;
  }
  // A request answered at once; its status.
  template <typename T>
  NTSTATUS Set(ULONG code, const T& value) {
    kemu::Request request = Control(code, Bytes(value));
    EXPECT_TRUE(request.Completed());
    return request.Status();
  }
  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                   ULONG writeConstant = 0);
  void SetWaitMask(ULONG mask);

  // The handset sends these bytes in one bulk-IN transfer.
  void Deliver(const std::vector<UCHAR>& bytes);
  void Deliver(const std::string& text) { Deliver(Bytes(text)); }
  // What a completed read holds: its buffer up to its information.
  static std::string Received(const kemu::Request& read);
  // Runs DPCs and deferred work until none is left (time does not move).
  static void Settle() { kemu::RunUntilIdle(); }
  static constexpr LONGLONG Milliseconds(LONGLONG count) { return count * 10000; }
};

}  // namespace quenta
