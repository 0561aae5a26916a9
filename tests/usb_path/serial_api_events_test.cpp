// The event mask and its wait through WaitCommEvent, and the layer's own events and waits.
#include <thread>

#include "serial_api_fixture.h"

namespace usbpath {
namespace {

constexpr uint32_t kStatusCancelled = 0xC0000120;

class EventWaits : public SerialApi {
protected:
    void SetUp() override
    {
        SerialApi::SetUp();
        Open();
    }
    void StartWait(DWORD mask)
    {
        ASSERT_TRUE(SetCommMask(port_, mask));
        events_ = 0xDEAD;
        EXPECT_FALSE(WaitCommEvent(port_, &events_, &wait_));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    // The wait's outcome: GetOverlappedResult's answer and its byte count.
    bool FinishWait(DWORD& count) { return GetOverlappedResult(port_, &wait_, &count, TRUE) != FALSE; }

    Overlapped wait_;
    DWORD events_ = 0;
};

TEST_F(EventWaits, TransmitEmptyIsReportedOnceAnOverlappedWriteIsSent)
{
    StartWait(EV_TXEMPTY);
    handset_->SetOutCompletesLater(true);
    Overlapped write;
    EXPECT_FALSE(WriteFile(port_, "hello", 5, nullptr, &write));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);  // the write itself waits for the device
    EXPECT_FALSE(wait_.Done());
    ASSERT_TRUE(handset_->CompleteOut());
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &write, &count, TRUE));
    EXPECT_EQ(count, 5u);
    EXPECT_TRUE(FinishWait(count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(events_, EV_TXEMPTY);
}

TEST_F(EventWaits, AReceivedCharacterEndsTheWaitAndASecondWaitIsRefused)
{
    StartWait(EV_RXCHAR);
    Overlapped second;
    DWORD other = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &other, &second));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Deliver("z");
    DWORD count = 0;
    EXPECT_TRUE(FinishWait(count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(events_, EV_RXCHAR);
}

TEST_F(EventWaits, ChangingTheMaskEndsThePendingWaitWithNoEvent)
{
    StartWait(EV_RXCHAR | EV_TXEMPTY);
    // From another thread, as a program stops its listener.
    std::thread other([this] { EXPECT_TRUE(SetCommMask(port_, 0)); });
    other.join();
    DWORD count = 0;
    EXPECT_TRUE(FinishWait(count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(events_, 0u);
    DWORD mask = 0xFF;
    EXPECT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, 0u);
}

TEST_F(EventWaits, CancelIoEndsOnlyTheCallingThreadsRequests)
{
    StartWait(EV_RXCHAR);
    Overlapped read;
    char byte = 0;
    std::thread other([&] {
        EXPECT_FALSE(ReadFile(port_, &byte, 1, nullptr, &read));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    });
    other.join();
    EXPECT_TRUE(CancelIo(port_));
    DWORD count = 0;
    EXPECT_FALSE(FinishWait(count));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(read.Done());
    Deliver("r");
    EXPECT_TRUE(GetOverlappedResult(port_, &read, &count, TRUE));
    EXPECT_EQ(byte, 'r');
}

TEST_F(SerialApi, EventsWaitAndTimeOutOnTheEmulatedClock)
{
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "manual");
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // an auto-reset event is taken by its wait
    const long long start = ClockMilliseconds();
    EXPECT_EQ(WaitForSingleObject(automatic, 250), WAIT_TIMEOUT);
    EXPECT_EQ(ClockMilliseconds() - start, 250);
    Sleep(50);
    EXPECT_EQ(ClockMilliseconds() - start, 300);

    HANDLE same = CreateEventA(nullptr, FALSE, FALSE, "manual");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(SetEvent(same));
    const HANDLE both[2] = {automatic, manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // a manual-reset event stays set
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(same, 0), WAIT_TIMEOUT);

    const HANDLE gone = automatic;
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_EQ(WaitForSingleObject(gone, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// How the process ends: every other thread stops at its next call into the layer, so nothing it
// does after that (here: counting its returns from Sleep) happens while the end runs.
TEST(ProcessEnd, OtherThreadsStopAtTheirNextCallAndTheEndChoosesTheStatus)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            kemu::Reset();
            kemu::StartThreads();
            std::atomic<int> returns{0};
            std::thread other([&returns] {
                for (;;) {
                    Sleep(1);
                    ++returns;
                }
            });
            other.detach();
            while (returns < 3) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            k32::SetProcessEnd([&returns](unsigned code) {
                const int seen = returns;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                _exit(returns - seen <= 1 ? int(code) : 99);
            });
            ExitProcess(7);
        },
        ::testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace usbpath
