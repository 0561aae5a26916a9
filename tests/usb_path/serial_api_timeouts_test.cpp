// Every row of the SERIAL_TIMEOUTS table through ReadFile, and the write time-out, on the emulated
// clock: a time-out is a success with a short count, reported as such by ReadFile,
// GetOverlappedResult and WriteFile alike, and leaves the last error alone. The clock moves only
// while a call waits, and timers fall due on Windows' 15.625 ms tick.
#include "serial_api_fixture.h"

namespace usbpath {
namespace {

constexpr long long kTick = 16;  // a 15.625 ms clock tick, rounded up

class ReadTimeouts : public SerialApi {
protected:
    void SetUp() override
    {
        SerialApi::SetUp();
        Open();
    }
    // Starts an overlapped read of `length` bytes that must stay pending.
    void StartRead(DWORD length)
    {
        buffer_.assign(length, 0);
        EXPECT_FALSE(ReadFile(port_, buffer_.data(), length, nullptr, &read_));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    // Waits for the read; its bytes, and the milliseconds the wait took.
    std::string Finish(long long& waited)
    {
        const long long start = ClockMilliseconds();
        DWORD count = 0;
        EXPECT_TRUE(GetOverlappedResult(port_, &read_, &count, TRUE)) << "error " << GetLastError();
        waited = ClockMilliseconds() - start;
        return std::string(buffer_.begin(), buffer_.begin() + count);
    }
    bool StillWaitsAfter(DWORD milliseconds)
    {
        return WaitForSingleObject(read_.hEvent, milliseconds) == WAIT_TIMEOUT && !read_.Done();
    }
    // A read that completes in the call itself.
    std::string ReadAtOnce(DWORD length)
    {
        std::vector<char> bytes(length);
        DWORD count = 0;
        Overlapped overlapped;
        EXPECT_TRUE(ReadFile(port_, bytes.data(), length, &count, &overlapped)) << "error " << GetLastError();
        return std::string(bytes.data(), count);
    }

    Overlapped read_;
    std::vector<char> buffer_;
};

TEST_F(ReadTimeouts, AllZeroWaitsForEveryByteWithoutLimit)
{
    SetTimeouts(0, 0, 0);
    StartRead(4);
    Deliver("ab");
    EXPECT_TRUE(StillWaitsAfter(60000));
    Deliver("cd");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "abcd");
    EXPECT_EQ(waited, 0);
}

TEST_F(ReadTimeouts, IntervalMaxAloneReturnsAtOnceWithWhatIsBufferedEvenNothing)
{
    SetTimeouts(MAXDWORD, 0, 0);
    Deliver("abc");
    EXPECT_EQ(ReadAtOnce(10), "abc");
    EXPECT_EQ(ReadAtOnce(10), "");
}

TEST_F(ReadTimeouts, IntervalAndMultiplierMaxWaitForOneByteUpToTheConstant)
{
    SetTimeouts(MAXDWORD, MAXDWORD, 200);
    Deliver("x");
    EXPECT_EQ(ReadAtOnce(10), "x");
    // Nothing buffered: the read shrinks to one byte and takes the first that comes.
    StartRead(10);
    Deliver("abc");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "a");
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 2u);
    PurgeComm(port_, PURGE_RXCLEAR);
    // Nothing comes: after the constant, success with no byte.
    StartRead(10);
    EXPECT_EQ(Finish(waited), "");
    EXPECT_GE(waited, 200);
    EXPECT_LE(waited, 200 + kTick);
}

TEST_F(ReadTimeouts, IntervalMaxWithATotalReturnsWhatIsBufferedOrWaitsForTheWholeTotal)
{
    SetTimeouts(MAXDWORD, 10, 100);
    Deliver("xy");
    EXPECT_EQ(ReadAtOnce(10), "xy");
    // Nothing buffered: no shortcut to one byte; the total (10 x 10 + 100 ms) ends it.
    StartRead(10);
    Deliver("abc");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "abc");
    EXPECT_GE(waited, 200);
    EXPECT_LE(waited, 200 + kTick);
}

TEST_F(ReadTimeouts, AnIntervalAloneStartsWithTheFirstByteAndEndsAfterAGap)
{
    SetTimeouts(50, 0, 0);
    StartRead(10);
    EXPECT_TRUE(StillWaitsAfter(60000));  // no byte, no limit
    Deliver("abc");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "abc");
    EXPECT_GE(waited, 50);
    EXPECT_LE(waited, 50 + 2 * kTick);
}

TEST_F(ReadTimeouts, ATotalAloneEndsTheReadWithWhatCame)
{
    SetTimeouts(0, 10, 100);
    StartRead(10);
    Deliver("abc");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "abc");
    EXPECT_GE(waited, 200);
    EXPECT_LE(waited, 200 + kTick);
    // A read that fills before its time is simply done.
    StartRead(2);
    Deliver("de");
    EXPECT_EQ(Finish(waited), "de");
    EXPECT_EQ(waited, 0);
}

TEST_F(ReadTimeouts, WithAnIntervalAndATotalWhicheverFallsDueFirstEndsTheRead)
{
    SetTimeouts(20, 0, 300);
    StartRead(10);
    Deliver("ab");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "ab");
    EXPECT_LE(waited, 20 + 2 * kTick);
    SetTimeouts(500, 0, 100);
    StartRead(10);
    Deliver("cd");
    EXPECT_EQ(Finish(waited), "cd");
    EXPECT_GE(waited, 100);
    EXPECT_LE(waited, 100 + kTick);
}

TEST_F(ReadTimeouts, AllThreeMaxIsRefusedAndIntervalMaxWithAConstantMaxWaitsForEveryByte)
{
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port_, &timeouts));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetTimeouts(MAXDWORD, 5, MAXDWORD);
    StartRead(4);
    Deliver("ab");
    EXPECT_TRUE(StillWaitsAfter(60000));
    Deliver("cd");
    long long waited = 0;
    EXPECT_EQ(Finish(waited), "abcd");
}

TEST_F(SerialApi, ATimedOutSynchronousReadIsASuccessThatLeavesTheLastErrorAlone)
{
    Open(false);
    SetTimeouts(0, 0, 300);
    char bytes[8];
    DWORD count = 99;
    SetLastError(4242);
    const long long start = ClockMilliseconds();
    EXPECT_TRUE(ReadFile(port_, bytes, sizeof bytes, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 4242u);
    EXPECT_GE(ClockMilliseconds() - start, 300);
    EXPECT_LE(ClockMilliseconds() - start, 300 + kTick);
}

TEST_F(SerialApi, ATimedOutWriteIsASuccessWithTheBytesTheDeviceTook)
{
    Open();
    SetTimeouts(0, 0, 0, 0, 100);
    handset_->SetOutCompletesLater(true);
    std::vector<char> data(5000, 'w');
    Overlapped write;
    EXPECT_FALSE(WriteFile(port_, data.data(), DWORD(data.size()), nullptr, &write));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(handset_->CompleteOut());  // the first 2048 bytes; the rest is never taken
    DWORD count = 0;
    SetLastError(4242);
    EXPECT_TRUE(GetOverlappedResult(port_, &write, &count, TRUE));
    EXPECT_EQ(count, 2048u);
    EXPECT_EQ(GetLastError(), 4242u);
    EXPECT_EQ(write.Internal, 0x102u);  // STATUS_TIMEOUT
}

}  // namespace
}  // namespace usbpath
