// serial_api_check \\.\COMn CASE...: the Win32 serial calls of kernel32 (Wine's, here) against the
// port driver behind COMn, on a handset that answers "AT+CGMM" (the simulated handset). Each case
// opens the port, checks what Windows documents for the calls it makes, and closes the port; it
// prints "ok CASE" or "FAIL CASE: what differed". Exit status: the number of failed cases.
//
// Where Wine's kernel32 departs from Windows the case checks what the driver did (the count, the
// status it completed with) and says so beside the check.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string port_path;
std::vector<std::string> failures;

void expect(bool condition, const std::string& what)
{
    if (!condition) {
        failures.push_back(what + " (error " + std::to_string(GetLastError()) + ")");
    }
}

// The handset's answer to "AT+CGMM\r\n": "\r\nSIM-HANDSET\r\n\r\nOK\r\n".
constexpr char kAsk[] = "AT+CGMM\r\n";
constexpr DWORD kAskLength = sizeof kAsk - 1;
constexpr DWORD kAnswerLength = 21;

class Port {
public:
    explicit Port(bool overlapped)
    {
        handle_ = CreateFileA(port_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Port()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        CloseHandle(event_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    HANDLE handle() const { return handle_; }
    bool opened() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool set_8n1()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) {
            return false;
        }
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
        dcb.fAbortOnError = FALSE;
        return SetCommState(handle_, &dcb) != FALSE;
    }

    bool set_timeouts(DWORD interval, DWORD multiplier, DWORD constant)
    {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        return SetCommTimeouts(handle_, &timeouts) != FALSE;
    }

    // Sends "AT+CGMM" and waits until the whole answer lies in the driver's receive queue.
    bool ask_and_wait_for_answer()
    {
        DWORD written = 0;
        if (!write(kAsk, kAskLength, written) || written != kAskLength) {
            return false;
        }
        for (int tries = 0; tries < 300; ++tries) {
            if (in_queue() >= kAnswerLength) {
                return in_queue() == kAnswerLength;
            }
            Sleep(10);
        }
        return false;
    }

    bool write(const void* bytes, DWORD length, DWORD& written)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        if (WriteFile(handle_, bytes, length, &written, &overlapped)) {
            return true;
        }
        return GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(handle_, &overlapped, &written, TRUE);
    }

    DWORD in_queue()
    {
        COMSTAT status{};
        DWORD errors = 0;
        return ClearCommError(handle_, &errors, &status) ? status.cbInQue : 0;
    }

private:
    HANDLE handle_;
    HANDLE event_;
};

// Settings read back as they were set; a line setting the driver refuses fails SetCommState with
// ERROR_INVALID_PARAMETER and changes nothing.
void comm_state()
{
    Port port(false);
    expect(port.opened(), "the port opens");
    expect(port.set_8n1(), "SetCommState 115200 8N1");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    expect(GetCommState(port.handle(), &dcb), "GetCommState");
    expect(dcb.BaudRate == CBR_115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT,
           "115200 8N1 reads back");
    DCB five_two = dcb;
    five_two.ByteSize = 5;
    five_two.StopBits = TWOSTOPBITS;
    expect(!SetCommState(port.handle(), &five_two) && GetLastError() == ERROR_INVALID_PARAMETER,
           "5 data bits with 2 stop bits are refused");
    DCB five_one_half = dcb;
    five_one_half.ByteSize = 5;
    five_one_half.StopBits = ONE5STOPBITS;
    expect(SetCommState(port.handle(), &five_one_half), "5 data bits with 1.5 stop bits are taken");
    expect(GetCommState(port.handle(), &dcb) && dcb.ByteSize == 5 && dcb.StopBits == ONE5STOPBITS,
           "5 data bits with 1.5 stop bits read back");
    expect(port.set_8n1() && GetCommState(port.handle(), &dcb) && dcb.ByteSize == 8, "8N1 again");
}

// The five values round-trip; all three read values MAXDWORD are refused.
void timeouts()
{
    Port port(false);
    expect(port.opened(), "the port opens");
    COMMTIMEOUTS set{1, 2, 3, 4, 5}, got{};
    expect(SetCommTimeouts(port.handle(), &set), "SetCommTimeouts 1 2 3 4 5");
    expect(GetCommTimeouts(port.handle(), &got) && std::memcmp(&set, &got, sizeof set) == 0, "they read back");
    COMMTIMEOUTS refused{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    expect(!SetCommTimeouts(port.handle(), &refused) && GetLastError() == ERROR_INVALID_PARAMETER,
           "three read values MAXDWORD are refused");
    expect(GetCommTimeouts(port.handle(), &got) && std::memcmp(&set, &got, sizeof set) == 0,
           "a refused change leaves the old values");
}

// A timed-out read is a success with the bytes that came (STATUS_TIMEOUT, a success code).
// Synchronous reads: Wine's GetOverlappedResult, unlike Windows', returns FALSE for that status.
void read_timeouts()
{
    Port port(false);
    expect(port.opened() && port.set_8n1(), "the port opens and takes 8N1");
    char buffer[100];
    DWORD read = 99;
    expect(port.set_timeouts(MAXDWORD, 0, 0), "return at once");
    expect(ReadFile(port.handle(), buffer, sizeof buffer, &read, nullptr) && read == 0,
           "an empty queue gives 0 bytes at once");

    expect(port.set_timeouts(0, 0, 200), "a total of 200 ms");
    DWORD started = GetTickCount();
    expect(ReadFile(port.handle(), buffer, 10, &read, nullptr) && read == 0, "nothing comes: TRUE with 0 bytes");
    expect(GetTickCount() - started >= 150, "after about 200 ms");

    expect(port.set_timeouts(MAXDWORD, MAXDWORD, 300), "one byte or 300 ms");
    started = GetTickCount();
    expect(ReadFile(port.handle(), buffer, 10, &read, nullptr) && read == 0, "nothing comes: TRUE with 0 bytes");
    expect(GetTickCount() - started >= 250, "after about 300 ms");

    expect(port.set_timeouts(0, 0, 500), "a total of 500 ms");
    DWORD written = 0;
    expect(port.write(kAsk, kAskLength, written) && written == kAskLength, "AT+CGMM goes out");
    expect(ReadFile(port.handle(), buffer, sizeof buffer, &read, nullptr) && read == kAnswerLength,
           "the read times out with the answer's " + std::to_string(kAnswerLength) + " bytes, got " +
               std::to_string(read));
    expect(std::memcmp(buffer, "\r\nSIM-HANDSET\r\n\r\nOK\r\n", kAnswerLength) == 0, "the answer's bytes");
}

// A mask change completes the pending wait with mask 0 and 4 bytes; a second wait while one is
// pending is refused; received bytes end a wait on EV_RXCHAR.
void wait_mask_change()
{
    Port port(true);
    expect(port.opened() && port.set_8n1() && port.set_timeouts(MAXDWORD, 0, 0), "the port opens");
    expect(SetCommMask(port.handle(), EV_RXCHAR), "SetCommMask EV_RXCHAR");
    DWORD mask = 0xFFFF, second_mask = 0, bytes = 0;
    OVERLAPPED wait{}, second{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    expect(!WaitCommEvent(port.handle(), &mask, &wait) && GetLastError() == ERROR_IO_PENDING, "the wait pends");
    expect(!WaitCommEvent(port.handle(), &second_mask, &second) && GetLastError() == ERROR_INVALID_PARAMETER,
           "a second wait is refused");
    expect(SetCommMask(port.handle(), EV_RXCHAR | EV_RXFLAG), "SetCommMask EV_RXCHAR | EV_RXFLAG");
    expect(WaitForSingleObject(wait.hEvent, 2000) == WAIT_OBJECT_0, "the mask change ends the wait");
    expect(GetOverlappedResult(port.handle(), &wait, &bytes, FALSE) && bytes == 4 && mask == 0,
           "with TRUE, 4 bytes and mask 0");
    DWORD now = 0;
    expect(GetCommMask(port.handle(), &now) && now == (EV_RXCHAR | EV_RXFLAG), "GetCommMask reads the new mask");

    ResetEvent(wait.hEvent);
    mask = 0;
    expect(!WaitCommEvent(port.handle(), &mask, &wait) && GetLastError() == ERROR_IO_PENDING, "a new wait pends");
    DWORD written = 0;
    expect(port.write(kAsk, kAskLength, written), "AT+CGMM goes out");
    expect(WaitForSingleObject(wait.hEvent, 3000) == WAIT_OBJECT_0, "the answer ends the wait");
    expect(GetOverlappedResult(port.handle(), &wait, &bytes, FALSE) && (mask & EV_RXCHAR), "with EV_RXCHAR");
    expect(SetCommMask(port.handle(), 0), "an empty mask");
    CloseHandle(wait.hEvent);
    CloseHandle(second.hEvent);
}

// RXCLEAR empties the receive queue; RXABORT cancels a pending read; an empty or unknown purge
// mask is refused.
void purge()
{
    Port port(true);
    expect(port.opened() && port.set_8n1() && port.set_timeouts(0, 0, 0), "the port opens");
    expect(port.ask_and_wait_for_answer(), "the answer lies in the receive queue");
    expect(PurgeComm(port.handle(), PURGE_RXCLEAR), "PurgeComm RXCLEAR");
    expect(port.in_queue() == 0, "empties it");

    char byte;
    DWORD read = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    expect(!ReadFile(port.handle(), &byte, 1, nullptr, &overlapped) && GetLastError() == ERROR_IO_PENDING,
           "a read pends");
    expect(PurgeComm(port.handle(), PURGE_RXABORT), "PurgeComm RXABORT");
    expect(WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0, "ends the read");
    expect(!GetOverlappedResult(port.handle(), &overlapped, &read, FALSE) &&
               GetLastError() == ERROR_OPERATION_ABORTED && read == 0,
           "cancelled, with no byte");
    CloseHandle(overlapped.hEvent);

    expect(!PurgeComm(port.handle(), 0) && GetLastError() == ERROR_INVALID_PARAMETER, "an empty mask is refused");
    expect(!PurgeComm(port.handle(), 0x10) && GetLastError() == ERROR_INVALID_PARAMETER, "mask 0x10 is refused");
}

// A new open reports no errors and empty queues; received bytes show in cbInQue.
void clear_comm_error()
{
    Port port(true);
    expect(port.opened() && port.set_8n1(), "the port opens");
    COMSTAT status{};
    DWORD errors = 0xFFFF;
    expect(
        ClearCommError(port.handle(), &errors, &status) && errors == 0 && status.cbInQue == 0 && status.cbOutQue == 0,
        "no errors and empty queues");
    expect(port.ask_and_wait_for_answer(), "the answer's bytes are counted in cbInQue");
    expect(PurgeComm(port.handle(), PURGE_RXCLEAR), "PurgeComm RXCLEAR");
}

// After the handset's bulk-IN transfer failed (the harness arms that fault before this case), the
// driver cancels every request but the status request until ClearCommError reads the error. The
// latch is bit 31 of the driver's error word, which kernel32 does not map into the CE_ flags, so
// the behaviour is what is checked. Reception stays stopped until the port is opened again.
void device_error_latch()
{
    Port port(true);
    expect(port.opened(), "the port opens");
    Sleep(200);  // the first bulk-IN transfer fails at once
    expect(!SetCommMask(port.handle(), EV_RXCHAR) && GetLastError() == ERROR_OPERATION_ABORTED,
           "a request is cancelled while the error is latched");
    COMSTAT status{};
    DWORD errors = 0xFFFF;
    expect(ClearCommError(port.handle(), &errors, &status) && errors == 0, "ClearCommError reads and clears it");
    expect(SetCommMask(port.handle(), EV_RXCHAR) && port.set_8n1(), "requests pass again");
    DWORD written = 0;
    expect(port.write(kAsk, kAskLength, written) && written == kAskLength, "writing still works");
    Sleep(300);
    expect(port.in_queue() == 0, "nothing is received: reception stopped with the failed transfer");
}

// A stalled bulk-OUT transfer (armed by the harness) fails the write's transfer: the write ends
// only by its total time-out, as a success with the bytes the device took (none), and the error
// is latched until ClearCommError, as after a failed receive.
void stalled_write()
{
    Port port(false);
    expect(port.opened() && port.set_8n1(), "the port opens");
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 300};
    expect(SetCommTimeouts(port.handle(), &timeouts), "a write time-out of 300 ms");
    const DWORD started = GetTickCount();
    DWORD written = 99;
    expect(WriteFile(port.handle(), kAsk, kAskLength, &written, nullptr) && written == 0,
           "the write times out as a success with 0 bytes, wrote " + std::to_string(written));
    expect(GetTickCount() - started >= 250, "after about 300 ms");
    expect(!SetCommMask(port.handle(), EV_RXCHAR) && GetLastError() == ERROR_OPERATION_ABORTED,
           "a request is cancelled while the error is latched");
    COMSTAT status{};
    DWORD errors = 0;
    expect(ClearCommError(port.handle(), &errors, &status), "ClearCommError reads and clears it");
    expect(SetCommMask(port.handle(), EV_RXCHAR), "requests pass again");
}

struct Case {
    const char* name;
    std::function<void()> run;
};

const Case kCases[] = {
    {"comm_state", comm_state},
    {"timeouts", timeouts},
    {"read_timeouts", read_timeouts},
    {"wait_mask_change", wait_mask_change},
    {"purge", purge},
    {"clear_comm_error", clear_comm_error},
    {"device_error_latch", device_error_latch},
    {"stalled_write", stalled_write},
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: serial_api_check \\\\.\\COMn CASE...\n");
        return 125;
    }
    port_path = argv[1];
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        const Case* found = nullptr;
        for (const Case& c : kCases) {
            if (std::strcmp(c.name, argv[i]) == 0) {
                found = &c;
            }
        }
        if (!found) {
            std::printf("FAIL %s: no such case\n", argv[i]);
            ++failed;
            continue;
        }
        failures.clear();
        found->run();
        if (failures.empty()) {
            std::printf("ok %s\n", found->name);
        } else {
            ++failed;
            std::printf("FAIL %s: %s", found->name, failures.front().c_str());
            for (std::size_t f = 1; f < failures.size(); ++f) {
                std::printf("; %s", failures[f].c_str());
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    return failed;
}
