// The kernel32 layer under threads, with Quenta on the emulated kernel in threaded mode: a reader
// that cancels its own reads now and then, a writer, a thread that waits on the event mask, ends
// its waits by changing the mask and purges, and the handset sending and taking bytes, all at
// once; then the handle is closed under whatever is pending. Every call must come back, every
// request complete once, and the kernel's checks find nothing. Run under ThreadSanitizer by the
// linux-tsan preset.
#include <atomic>
#include <random>
#include <thread>

#include "serial_api_fixture.h"

namespace usbpath {
namespace {

class SerialApiThreads : public SerialApi {
protected:
    void Reader(unsigned seed, int rounds)
    {
        std::mt19937 random(seed);
        std::vector<char> buffer(300);
        for (int i = 0; i < rounds; ++i) {
            Overlapped read;
            DWORD count = 0;
            const DWORD length = 1 + random() % 300;
            // A purge may end a request before its call returns.
            if (!ReadFile(port_, buffer.data(), length, &count, &read) && GetLastError() != ERROR_OPERATION_ABORTED) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                if (random() % 8 == 0) {
                    CancelIo(port_);
                }
                if (!GetOverlappedResult(port_, &read, &count, TRUE)) {
                    ASSERT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
                }
            }
            ASSERT_LE(count, length);
            bytesRead_ += count;
        }
    }
    void Writer(unsigned seed)
    {
        std::mt19937 random(seed);
        std::vector<char> data(5000, 'w');
        while (!stop_) {
            Overlapped write;
            DWORD count = 0;
            const DWORD length = 1 + random() % 5000;
            if (!WriteFile(port_, data.data(), length, &count, &write) && GetLastError() != ERROR_OPERATION_ABORTED) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                if (!GetOverlappedResult(port_, &write, &count, TRUE)) {
                    ASSERT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);  // a purge
                }
            }
            ASSERT_LE(count, length);
            writes_++;
        }
    }
    void Waiter(unsigned seed)
    {
        std::mt19937 random(seed);
        while (!stop_) {
            ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
            Overlapped wait;
            DWORD events = 0;
            DWORD count = 0;
            if (!WaitCommEvent(port_, &events, &wait)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                if (WaitForSingleObject(wait.hEvent, random() % 3) == WAIT_TIMEOUT) {
                    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));  // ends the wait with no event
                }
                ASSERT_TRUE(GetOverlappedResult(port_, &wait, &count, TRUE));
                ASSERT_EQ(count, 4u);
            }
            ASSERT_EQ(events & ~(EV_RXCHAR | EV_TXEMPTY), 0u);
            waits_++;
            if (random() % 4 == 0) {
                ASSERT_TRUE(PurgeComm(port_, 1 + random() % 15));
            }
            DWORD errors = 0;
            COMSTAT stat{};
            ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
        }
    }
    void Handset(unsigned seed)
    {
        std::mt19937 random(seed);
        while (!unplug_) {
            handset_->DeliverIn(std::vector<UCHAR>(random() % 400, UCHAR(random())));
            handset_->CompleteOut();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> unplug_{false};  // the handset takes bytes until the writer has stopped
    std::atomic<long> bytesRead_{0};
    std::atomic<long> writes_{0};
    std::atomic<long> waits_{0};
};

TEST_F(SerialApiThreads, CallsOnOneHandleFromFourThreadsAllComeBackAndTheCloseEndsWhatIsLeft)
{
    handset_->SetOutCompletesLater(true);
    kemu::SetTimerResolution(10000);  // a 1 ms clock, so that the time-outs come often
    kemu::StartThreads();
    Open();
    SetTimeouts(3, 0, 0, 1, 20);
    std::thread handset([this] { Handset(1); });
    std::thread writer([this] { Writer(2); });
    std::thread waiter([this] { Waiter(3); });
    std::thread reader([this] { Reader(4, 100); });
    reader.join();
    stop_ = true;
    writer.join();
    waiter.join();
    unplug_ = true;
    handset.join();
    // Something left pending for the close to end: the handset has stopped sending.
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    Overlapped read;
    char byte = 0;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, nullptr, &read));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CloseHandle(port_));
    EXPECT_TRUE(read.Done());
    kemu::StopThreads();
    printf("threads: %ld bytes read, %ld writes, %ld waits\n", bytesRead_.load(), writes_.load(), waits_.load());
    EXPECT_GT(bytesRead_.load(), 0);
    EXPECT_GT(writes_.load(), 0);
    EXPECT_GT(waits_.load(), 0);
}

}  // namespace
}  // namespace usbpath
