// Every SERIAL_TIMEOUTS case of a read, at request level on the emulated clock: what is in the
// ring when the read comes, when bytes arrive, and when and how the read completes.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

constexpr ULONG MAX = MAXULONG;
constexpr LONGLONG AtOnce = -1;
constexpr LONGLONG Never = -2;

struct Arrival {
  LONGLONG atMilliseconds;  // after the read was sent
  std::string bytes;
};

struct TimeoutCase {
  const char* name;
  SERIAL_TIMEOUTS timeouts;
  ULONG length;
  std::string buffered;  // in the ring before the read
  std::vector<Arrival> arrivals;
  NTSTATUS status;
  std::string received;
  LONGLONG completesAt;  // ms after the read was sent (at most two clock ticks later), AtOnce or Never
};

void PrintTo(const TimeoutCase& c, std::ostream* out) { *out << c.name; }

class ReadTimeouts : public SerialPortTest, public ::testing::WithParamInterface<TimeoutCase> {
 protected:
  // From clock tick to clock tick, as the clock interrupt moves time, so that the interval timer
  // looks at the read as often as it would.
  void StepTo(LONGLONG time, const kemu::Request& read) {
    while (kemu::Now() < time && !read.Completed()) {
      LONGLONG nextTick = (kemu::Now() / kemu::kWindowsClockTick + 1) * kemu::kWindowsClockTick;
      kemu::AdvanceTime(std::min(nextTick, time) - kemu::Now());
      Settle();
    }
  }
};

TEST_P(ReadTimeouts, CompleteAsTheTableSays) {
  const TimeoutCase& c = GetParam();
  SetTimeouts(c.timeouts.ReadIntervalTimeout, c.timeouts.ReadTotalTimeoutMultiplier,
              c.timeouts.ReadTotalTimeoutConstant);
  if (!c.buffered.empty()) Deliver(c.buffered);
  LONGLONG start = kemu::Now();
  kemu::Request read = Read(c.length);
  EXPECT_EQ(read.Completed(), c.completesAt == AtOnce);
  for (const Arrival& arrival : c.arrivals) {
    StepTo(start + Milliseconds(arrival.atMilliseconds), read);
    ASSERT_FALSE(read.Completed()) << "completed before the bytes due at " << arrival.atMilliseconds << " ms";
    Deliver(arrival.bytes);
    Settle();
  }
  // An interval of twenty seconds or more is looked at once a second, a shorter one every tick.
  bool longInterval = c.timeouts.ReadIntervalTimeout >= 20000 && c.timeouts.ReadIntervalTimeout != MAX;
  LONGLONG slack = 2 * kemu::kWindowsClockTick + (longInterval ? Milliseconds(1000) : 0);
  StepTo(start + Milliseconds(c.completesAt == Never ? 120000 : std::max<LONGLONG>(c.completesAt, 0)) + slack, read);
  if (c.completesAt == Never) {
    EXPECT_FALSE(read.Completed());
    EXPECT_TRUE(read.Cancel());
    ASSERT_TRUE(read.Completed());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Information(), 0u);
    return;
  }
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), c.status);
  EXPECT_EQ(Received(read), c.received);
  if (c.completesAt >= 0) {
    LONGLONG elapsed = kemu::Now() - start;
    EXPECT_GE(elapsed, Milliseconds(c.completesAt));
    EXPECT_LE(elapsed, Milliseconds(c.completesAt) + slack);
  }
}

// SERIAL_TIMEOUTS: interval, multiplier, constant (ms); the write time-outs play no part.
INSTANTIATE_TEST_SUITE_P(
    EveryCase, ReadTimeouts,
    ::testing::Values(
        TimeoutCase{"NoTimeoutsWaitForEveryByte",
                    {0, 0, 0, 0, 0},
                    5,
                    "",
                    {{100, "ab"}, {50000, "cde"}},
                    STATUS_SUCCESS,
                    "abcde",
                    50000},
        TimeoutCase{"ReturnAtOnceWithNothing", {MAX, 0, 0, 0, 0}, 5, "", {}, STATUS_SUCCESS, "", AtOnce},
        TimeoutCase{"ReturnAtOnceWithWhatIsBuffered", {MAX, 0, 0, 0, 0}, 5, "xy", {}, STATUS_SUCCESS, "xy", AtOnce},
        TimeoutCase{
            "OneByteShortcutTakesWhatIsBuffered", {MAX, MAX, 100, 0, 0}, 5, "xyz", {}, STATUS_SUCCESS, "xyz", AtOnce},
        TimeoutCase{"OneByteShortcutReturnsWithTheFirstByte",
                    {MAX, MAX, 100, 0, 0},
                    5,
                    "",
                    {{30, "ab"}},
                    STATUS_SUCCESS,
                    "a",
                    30},
        TimeoutCase{"OneByteShortcutTimesOutEmpty", {MAX, MAX, 100, 0, 0}, 5, "", {}, STATUS_TIMEOUT, "", 100},
        TimeoutCase{
            "TotalWithoutShortcutTakesWhatIsBuffered", {MAX, 10, 50, 0, 0}, 5, "q", {}, STATUS_SUCCESS, "q", AtOnce},
        TimeoutCase{
            "TotalWithoutShortcutWaitsForTheTimer", {MAX, 10, 50, 0, 0}, 5, "", {{20, "a"}}, STATUS_TIMEOUT, "a", 100},
        TimeoutCase{"IntervalOnlyWaitsForTheFirstByteWithoutLimit",
                    {40, 0, 0, 0, 0},
                    10,
                    "",
                    {{30000, "abc"}},
                    STATUS_TIMEOUT,
                    "abc",
                    30040},
        TimeoutCase{"IntervalOnlyGoesOnWhileTheGapsAreShort",
                    {40, 0, 0, 0, 0},
                    10,
                    "",
                    {{100, "a"}, {120, "b"}, {150, "c"}},
                    STATUS_TIMEOUT,
                    "abc",
                    190},
        TimeoutCase{
            "IntervalOnlyCountsFromBytesAlreadyBuffered", {40, 0, 0, 0, 0}, 10, "z", {}, STATUS_TIMEOUT, "z", 40},
        TimeoutCase{
            "IntervalWithoutDataWaitsUntilCancelled", {40, 0, 0, 0, 0}, 10, "", {}, STATUS_CANCELLED, "", Never},
        TimeoutCase{"TotalOnly", {0, 10, 100, 0, 0}, 4, "", {{50, "ab"}}, STATUS_TIMEOUT, "ab", 140},
        TimeoutCase{
            "BothAndTheIntervalComesFirst", {30, 10, 1000, 0, 0}, 8, "", {{10, "ab"}}, STATUS_TIMEOUT, "ab", 40},
        TimeoutCase{
            "BothAndTheTotalComesFirst", {100, 10, 50, 0, 0}, 8, "", {{20, "a"}, {90, "b"}}, STATUS_TIMEOUT, "ab", 130},
        TimeoutCase{"MaxIntervalAndMaxConstantWaitUntilFull",
                    {MAX, 7, MAX, 0, 0},
                    3,
                    "",
                    {{5000, "ab"}, {90000, "c"}},
                    STATUS_SUCCESS,
                    "abc",
                    90000},
        TimeoutCase{"AnIntervalOfTwentySecondsOrMoreIsLookedAtEverySecond",
                    {25000, 0, 0, 0, 0},
                    4,
                    "",
                    {{100, "a"}},
                    STATUS_TIMEOUT,
                    "a",
                    25100}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) { return std::string(info.param.name); });

class ReadTimeoutArithmetic : public SerialPortTest {};

TEST_F(ReadTimeoutArithmetic, AHugeTotalHoldsInsteadOfWrappingIntoAnEarlyTimeout) {
  // 0xFFFFFFFE ms per byte for 1 MiB: the product in 100 ns units is beyond 64 bits.
  SetTimeouts(0, 0xFFFFFFFEu, 0);
  kemu::Request read = Read(1u << 20);
  kemu::AdvanceTime(Milliseconds(1000LL * 3600 * 24 * 365));
  Settle();
  EXPECT_FALSE(read.Completed());
  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

TEST_F(ReadTimeoutArithmetic, TheTimeOutsInEffectWhenAReadStartsAreTheOnesItKeeps) {
  SetTimeouts(0, 0, 100);
  kemu::Request read = Read(4);
  SetTimeouts(0, 0, 0);  // a later change leaves the read's timer alone
  kemu::AdvanceTime(Milliseconds(100) + kemu::kWindowsClockTick);
  Settle();
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
}

}  // namespace
}  // namespace quenta
