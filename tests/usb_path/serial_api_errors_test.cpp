// What kernel32 refuses before a driver sees anything, what a new port reports, and how pending
// requests end: a bulk failure and ClearCommError, purges, and a handle closed under them.
#include "serial_api_fixture.h"

namespace usbpath {
namespace {

constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

TEST_F(SerialApi, TheIoManagerRefusesMissingRecordsAndBadOffsetsBeforeTheDriver)
{
    Open();
    char byte = 0;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(port_, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Overlapped overlapped;
    overlapped.OffsetHigh = 0x80000000;  // negative
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(port_, "x", 1, &count, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(RequestsSent().empty());
    // -1 means the end of the file for a write, which a serial port takes like any other offset.
    overlapped.Offset = overlapped.OffsetHigh = 0xFFFFFFFF;
    EXPECT_TRUE(WriteFile(port_, "x", 1, &count, &overlapped) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &count, TRUE));
    EXPECT_EQ(count, 1u);
    // Nothing to move: done at once.
    Overlapped empty;
    EXPECT_TRUE(ReadFile(port_, &byte, 0, &count, &empty));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(WriteFile(port_, "", 0, &count, &empty));
    EXPECT_EQ(count, 0u);
    // A result asked for too early.
    Overlapped read;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, nullptr, &read));
    EXPECT_FALSE(GetOverlappedResult(port_, &read, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(GetOverlappedResult(nullptr, &read, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // The record must outlive its request.
    EXPECT_TRUE(CancelIo(port_));
    EXPECT_FALSE(GetOverlappedResult(port_, &read, &count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialApi, ANewPortHasNoErrorsAndAFlushLeavesNothingToSend)
{
    Open();
    DWORD errors = 0xFF;
    COMSTAT stat{};
    stat.cbInQue = stat.cbOutQue = 99;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    std::vector<char> data(5000, 'f');
    Overlapped write;
    EXPECT_FALSE(WriteFile(port_, data.data(), DWORD(data.size()), nullptr, &write));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_TRUE(write.Done());
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
    Deliver("abc");
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 3u);
}

// A failed bulk transfer latches an error that cancels every request until ClearCommError reads
// the status, which reopens the port to requests.
TEST_F(SerialApi, ClearCommErrorReopensThePortAfterABulkFailure)
{
    Open();
    ASSERT_TRUE(handset_->FailIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    char byte = 0;
    DWORD count = 0;
    Overlapped read;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &read));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    Overlapped write;
    EXPECT_FALSE(WriteFile(port_, "x", 1, &count, &write));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    DWORD errors = 0xFF;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);  // the latch has no CE_ bit of its own
    Overlapped again;
    EXPECT_TRUE(WriteFile(port_, "x", 1, &count, &again) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(port_, &again, &count, TRUE));
    EXPECT_EQ(count, 1u);
}

TEST_F(SerialApi, PurgesEndTheRequestsTheyNameAndNoOthers)
{
    Open();
    handset_->SetOutCompletesLater(true);
    char bytes[2] = {};
    Overlapped first;
    Overlapped second;
    Overlapped write;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port_, &bytes[0], 1, nullptr, &first));
    EXPECT_FALSE(ReadFile(port_, &bytes[1], 1, nullptr, &second));  // queued behind the first
    EXPECT_FALSE(WriteFile(port_, "w", 1, nullptr, &write));
    EXPECT_TRUE(PurgeComm(port_, PURGE_RXABORT));
    for (Overlapped* read : {&first, &second}) {
        EXPECT_FALSE(GetOverlappedResult(port_, read, &count, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    }
    EXPECT_FALSE(write.Done());
    EXPECT_TRUE(PurgeComm(port_, PURGE_TXABORT));
    EXPECT_FALSE(GetOverlappedResult(port_, &write, &count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    Deliver("abc");
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR));
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    for (DWORD flags : {0u, 0x10u}) {
        EXPECT_FALSE(PurgeComm(port_, flags));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

// Closing a handle sends its cleanup, which cancels what it has pending, and closes only after
// every one of those requests has come back.
TEST_F(SerialApi, ClosingAHandleCancelsItsPendingRequestsBeforeTheClose)
{
    Open();
    handset_->SetOutCompletesLater(true);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    char byte = 0;
    DWORD events = 0;
    Overlapped read;
    Overlapped write;
    Overlapped wait;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, nullptr, &read));
    EXPECT_FALSE(WriteFile(port_, "w", 1, nullptr, &write));
    EXPECT_FALSE(WaitCommEvent(port_, &events, &wait));
    Trace();
    EXPECT_TRUE(CloseHandle(port_));
    for (Overlapped* request : {&read, &write, &wait}) {
        EXPECT_EQ(request->Internal, kStatusCancelled);
        EXPECT_EQ(WaitForSingleObject(request->hEvent, 0), WAIT_OBJECT_0);
    }
    std::vector<std::string> trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace[1], "IRP_MJ_CLEANUP 0");
    EXPECT_EQ(trace.back(), "IRP_MJ_CLOSE done STATUS_SUCCESS 0");
    int cancelled = 0;
    for (size_t i = 2; i + 2 < trace.size(); ++i) {
        cancelled += trace[i].find("done STATUS_CANCELLED") != std::string::npos;
    }
    EXPECT_EQ(cancelled, 3);
    EXPECT_EQ(trace[trace.size() - 2], "IRP_MJ_CLOSE 0");
    EXPECT_NE(CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace usbpath
