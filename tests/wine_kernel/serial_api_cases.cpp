#include "serial_api_cases.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace serialcheck {

namespace {

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
    Port(const Side& side, bool overlapped)
    {
        handle_ = CreateFileA(side.port_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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
        return write(kAsk, kAskLength, written) && written == kAskLength && wait_for_answer();
    }

    // Waits until the whole answer lies in the driver's receive queue.
    bool wait_for_answer()
    {
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
// ERROR_INVALID_PARAMETER and leaves the line as it was. Wine's SetCommState stops at the refusal
// with the new baud rate already set; ours rolls the settings its read-back found back (Windows'
// behaviour there is not known; the rollback keeps the port consistent).
void comm_state(const Side& side)
{
    Port port(side, false);
    expect(port.opened(), "the port opens");
    expect(port.set_8n1(), "SetCommState 115200 8N1");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    expect(GetCommState(port.handle(), &dcb), "GetCommState");
    expect(dcb.BaudRate == CBR_115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT,
           "115200 8N1 reads back");
    DCB five_two = dcb;
    five_two.BaudRate = CBR_9600;
    five_two.ByteSize = 5;
    five_two.StopBits = TWOSTOPBITS;
    expect(!SetCommState(port.handle(), &five_two) && GetLastError() == ERROR_INVALID_PARAMETER,
           "5 data bits with 2 stop bits are refused");
    DCB after{};
    after.DCBlength = sizeof after;
    expect(GetCommState(port.handle(), &after) && after.ByteSize == 8 && after.StopBits == ONESTOPBIT,
           "the refused line is not taken");
    const DWORD baud_after_refusal = side.kernel32 == Kernel32::Wine ? CBR_9600 : CBR_115200;
    expect(after.BaudRate == baud_after_refusal, "after the refusal the baud rate reads " +
                                                     std::to_string(baud_after_refusal) + ", got " +
                                                     std::to_string(after.BaudRate));
    DCB five_one_half = dcb;
    five_one_half.ByteSize = 5;
    five_one_half.StopBits = ONE5STOPBITS;
    expect(SetCommState(port.handle(), &five_one_half), "5 data bits with 1.5 stop bits are taken");
    expect(GetCommState(port.handle(), &dcb) && dcb.ByteSize == 5 && dcb.StopBits == ONE5STOPBITS,
           "5 data bits with 1.5 stop bits read back");
    expect(port.set_8n1() && GetCommState(port.handle(), &dcb) && dcb.ByteSize == 8, "8N1 again");
}

// GetCommState and SetCommState on a port just opened: the requests are checked in their order.
void comm_state_order(const Side& side)
{
    Port port(side, false);
    expect(port.opened() && port.set_8n1(), "the port opens and takes 8N1");
}

// What SetCommState carries to the driver comes back from GetCommState: the line, the handflow
// (flow control, the XON/XOFF limits) and the special characters; fBinary always reads 1. Then
// the settings found are set again, which switches RTS from handshake back to ENABLE.
void dcb_round_trip(const Side& side)
{
    Port port(side, false);
    expect(port.opened() && port.set_8n1(), "the port opens and takes 8N1");
    DCB original{};
    original.DCBlength = sizeof original;
    expect(GetCommState(port.handle(), &original), "GetCommState");
    DCB set = original;
    set.BaudRate = 57600;
    set.ByteSize = 7;
    set.Parity = EVENPARITY;
    set.StopBits = TWOSTOPBITS;
    set.fOutxCtsFlow = TRUE;
    set.fOutxDsrFlow = TRUE;
    set.fDtrControl = DTR_CONTROL_ENABLE;
    set.fRtsControl = RTS_CONTROL_HANDSHAKE;
    set.fDsrSensitivity = TRUE;
    set.fOutX = TRUE;
    set.fInX = TRUE;
    set.fTXContinueOnXoff = TRUE;
    set.fErrorChar = TRUE;
    set.fNull = TRUE;
    set.XonLim = 100;
    set.XoffLim = 200;
    set.XonChar = 0x11;
    set.XoffChar = 0x13;
    set.ErrorChar = '?';
    set.EofChar = 0x1A;
    set.EvtChar = '\n';
    expect(SetCommState(port.handle(), &set), "SetCommState with flow control and characters");
    DCB got{};
    got.DCBlength = sizeof got;
    expect(GetCommState(port.handle(), &got), "GetCommState");
    const struct {
        const char* field;
        DWORD set, got;
    } fields[] = {
        {"BaudRate", set.BaudRate, got.BaudRate},
        {"ByteSize", set.ByteSize, got.ByteSize},
        {"Parity", set.Parity, got.Parity},
        {"StopBits", set.StopBits, got.StopBits},
        {"fBinary", 1, got.fBinary},
        {"fOutxCtsFlow", set.fOutxCtsFlow, got.fOutxCtsFlow},
        {"fOutxDsrFlow", set.fOutxDsrFlow, got.fOutxDsrFlow},
        {"fDtrControl", set.fDtrControl, got.fDtrControl},
        {"fRtsControl", set.fRtsControl, got.fRtsControl},
        {"fDsrSensitivity", set.fDsrSensitivity, got.fDsrSensitivity},
        {"fOutX", set.fOutX, got.fOutX},
        {"fInX", set.fInX, got.fInX},
        {"fTXContinueOnXoff", set.fTXContinueOnXoff, got.fTXContinueOnXoff},
        {"fErrorChar", set.fErrorChar, got.fErrorChar},
        {"fNull", set.fNull, got.fNull},
        {"XonLim", set.XonLim, got.XonLim},
        {"XoffLim", set.XoffLim, got.XoffLim},
        {"XonChar", DWORD(BYTE(set.XonChar)), DWORD(BYTE(got.XonChar))},
        {"XoffChar", DWORD(BYTE(set.XoffChar)), DWORD(BYTE(got.XoffChar))},
        {"ErrorChar", DWORD(BYTE(set.ErrorChar)), DWORD(BYTE(got.ErrorChar))},
        {"EofChar", DWORD(BYTE(set.EofChar)), DWORD(BYTE(got.EofChar))},
        {"EvtChar", DWORD(BYTE(set.EvtChar)), DWORD(BYTE(got.EvtChar))},
    };
    for (const auto& field : fields) {
        expect(field.set == field.got, std::string(field.field) + " reads back " + std::to_string(field.set) +
                                           ", got " + std::to_string(field.got));
    }
    expect(SetCommState(port.handle(), &original), "the first settings again, RTS back to ENABLE");
    expect(GetCommState(port.handle(), &got) && got.fRtsControl == RTS_CONTROL_ENABLE && !got.fOutX, "read back");
}

// The five values round-trip; all three read values MAXDWORD are refused.
void timeouts(const Side& side)
{
    Port port(side, false);
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

// A timed-out read is a success with the bytes that came (STATUS_TIMEOUT, a success code), on a
// synchronous handle.
void read_timeouts(const Side& side)
{
    Port port(side, false);
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

// The same time-out on an overlapped handle: the driver completes the read with STATUS_TIMEOUT and
// the bytes that came. Windows' GetOverlappedResult, and ours, return TRUE with the count; Wine's
// returns FALSE with ERROR_TIMEOUT (its status conversion), a departure of Wine's kernel32.
void overlapped_read_timeout(const Side& side)
{
    Port port(side, true);
    expect(port.opened() && port.set_8n1() && port.set_timeouts(0, 0, 200), "the port opens, 200 ms in all");
    char buffer[10];
    DWORD read = 99;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    expect(!ReadFile(port.handle(), buffer, sizeof buffer, nullptr, &overlapped) && GetLastError() == ERROR_IO_PENDING,
           "the read pends");
    expect(WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0, "the time-out ends it");
    expect(overlapped.Internal == 0x102 && overlapped.InternalHigh == 0,
           "completed with STATUS_TIMEOUT and no byte, status " + std::to_string(overlapped.Internal));
    const BOOL result = GetOverlappedResult(port.handle(), &overlapped, &read, FALSE);
    if (side.kernel32 == Kernel32::Wine) {
        expect(!result && GetLastError() == ERROR_TIMEOUT && read == 0, "Wine: FALSE, ERROR_TIMEOUT, 0 bytes");
    } else {
        expect(result && read == 0, "TRUE with 0 bytes");
    }
    CloseHandle(overlapped.hEvent);
}

// A mask change completes the pending wait with mask 0 and 4 bytes, an empty mask too; a second
// wait while one is pending is refused; received bytes end a wait on EV_RXCHAR.
void wait_mask_change(const Side& side)
{
    Port port(side, true);
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

    // Once the whole answer is in, an empty mask drops the events seen since, and a wait pends
    // until an empty mask ends it.
    expect(port.wait_for_answer() && SetCommMask(port.handle(), 0) && SetCommMask(port.handle(), EV_RXCHAR),
           "the answer is in, the events seen dropped");
    ResetEvent(wait.hEvent);
    mask = 0xFFFF;
    expect(!WaitCommEvent(port.handle(), &mask, &wait) && GetLastError() == ERROR_IO_PENDING, "a third wait pends");
    expect(SetCommMask(port.handle(), 0), "an empty mask");
    expect(WaitForSingleObject(wait.hEvent, 2000) == WAIT_OBJECT_0 &&
               GetOverlappedResult(port.handle(), &wait, &bytes, FALSE) && bytes == 4 && mask == 0,
           "ends it with TRUE, 4 bytes and mask 0");
    CloseHandle(wait.hEvent);
    CloseHandle(second.hEvent);
}

// RXCLEAR empties the receive queue; RXABORT cancels a pending read; an empty or unknown purge
// mask is refused.
void purge(const Side& side)
{
    Port port(side, true);
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
void clear_comm_error(const Side& side)
{
    Port port(side, true);
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
void device_error_latch(const Side& side)
{
    Port port(side, true);
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
void stalled_write(const Side& side)
{
    Port port(side, false);
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

// What each kernel32 sends the driver for the calls the cases make (WINE.md's table says why).
struct CallRequests {
    std::string open_close;               // CreateFileA, then CloseHandle
    std::string get_state;                // GetCommState
    std::string set_state;                // SetCommState, every request taken
    std::string set_state_bad_line;       // SetCommState with a line setting the driver refuses
    std::string set_state_rts_handshake;  // SetCommState with RTS handshake, DTR ENABLE
    std::string state_in_order;           // open, GetCommState, SetCommState, close, in order
};

const CallRequests kWineRequests{
    // Wine's CloseHandle sends no IRP_MJ_CLEANUP.
    "CREATE 1, CLOSE 1",
    "GET_BAUD_RATE 1, GET_LINE_CONTROL 1, GET_HANDFLOW 1, GET_CHARS 1",
    // No read-back and no RTS/DTR requests; it stops at the first refusal.
    "SET_BAUD_RATE 1, SET_LINE_CONTROL 1, SET_HANDFLOW 1, SET_CHARS 1",
    "SET_BAUD_RATE 1, SET_LINE_CONTROL 1",
    "SET_BAUD_RATE 1, SET_LINE_CONTROL 1, SET_HANDFLOW 1, SET_CHARS 1",
    "CREATE, GET_BAUD_RATE, GET_LINE_CONTROL, GET_HANDFLOW, GET_CHARS, SET_BAUD_RATE, SET_LINE_CONTROL, SET_HANDFLOW, "
    "SET_CHARS, CLOSE",
};

const CallRequests kOurRequests{
    "CREATE 1, CLEANUP 1, CLOSE 1",
    "GET_BAUD_RATE 1, GET_LINE_CONTROL 1, GET_CHARS 1, GET_HANDFLOW 1",
    // As Windows: the read-back, then baud rate, RTS, DTR, line, characters, handflow.
    "GET_BAUD_RATE 1, GET_LINE_CONTROL 1, GET_CHARS 1, GET_HANDFLOW 1, SET_BAUD_RATE 1, SET_RTS 1, SET_DTR 1, "
    "SET_LINE_CONTROL 1, SET_CHARS 1, SET_HANDFLOW 1",
    // Up to the refused line, then the read-back settings sent again (no RTS or DTR).
    "GET_BAUD_RATE 1, GET_LINE_CONTROL 1, GET_CHARS 1, GET_HANDFLOW 1, SET_BAUD_RATE 1, SET_RTS 1, SET_DTR 1, "
    "SET_LINE_CONTROL 1, SET_BAUD_RATE 1, SET_LINE_CONTROL 1, SET_CHARS 1, SET_HANDFLOW 1",
    // RTS under handshake is the driver's: no RTS request.
    "GET_BAUD_RATE 1, GET_LINE_CONTROL 1, GET_CHARS 1, GET_HANDFLOW 1, SET_BAUD_RATE 1, SET_DTR 1, "
    "SET_LINE_CONTROL 1, SET_CHARS 1, SET_HANDFLOW 1",
    "CREATE, GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS, GET_HANDFLOW, GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS, "
    "GET_HANDFLOW, SET_BAUD_RATE, SET_RTS, SET_DTR, SET_LINE_CONTROL, SET_CHARS, SET_HANDFLOW, CLEANUP, CLOSE",
};

std::string repeat(const std::string& requests, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += (i == 0 ? "" : ", ") + requests;
    }
    return text;
}

// Port::set_8n1: GetCommState, then SetCommState.
std::string set_8n1(const CallRequests& k)
{
    return k.get_state + ", " + k.set_state;
}

// Each case with the requests it sends; GET_COMMSTATUS "N+" where the case polls the queue.
struct Case {
    const char* name;
    void (*run)(const Side&);
    std::string (*requests)(const CallRequests&);
    // For a case whose requests are checked in their order too: "CREATE, GET_BAUD_RATE, ...".
    std::string (*in_order)(const CallRequests&) = nullptr;
};

const Case kCases[] = {
    {"comm_state", comm_state,
     [](const CallRequests& k) {
         return k.open_close + ", " + repeat(k.get_state, 4) + ", " + repeat(set_8n1(k), 2) + ", " +
                k.set_state_bad_line + ", " + k.set_state;
     }},
    {"comm_state_order", comm_state_order, [](const CallRequests& k) { return k.open_close + ", " + set_8n1(k); },
     [](const CallRequests& k) { return k.state_in_order; }},
    {"dcb_round_trip", dcb_round_trip,
     [](const CallRequests& k) {
         return k.open_close + ", " + set_8n1(k) + ", " + repeat(k.get_state, 3) + ", " + k.set_state_rts_handshake +
                ", " + k.set_state;
     }},
    {"timeouts", timeouts, [](const CallRequests& k) { return k.open_close + ", SET_TIMEOUTS 2, GET_TIMEOUTS 2"; }},
    {"read_timeouts", read_timeouts,
     [](const CallRequests& k) { return k.open_close + ", " + set_8n1(k) + ", SET_TIMEOUTS 4, READ 4, WRITE 1"; }},
    {"overlapped_read_timeout", overlapped_read_timeout,
     [](const CallRequests& k) { return k.open_close + ", " + set_8n1(k) + ", SET_TIMEOUTS 1, READ 1"; }},
    {"wait_mask_change", wait_mask_change,
     [](const CallRequests& k) {
         return k.open_close + ", " + set_8n1(k) +
                ", SET_TIMEOUTS 1, SET_WAIT_MASK 5, WAIT_ON_MASK 4, GET_COMMSTATUS 2+, GET_WAIT_MASK 1, WRITE 1";
     }},
    {"purge", purge,
     [](const CallRequests& k) {
         return k.open_close + ", " + set_8n1(k) + ", SET_TIMEOUTS 1, WRITE 1, GET_COMMSTATUS 3+, PURGE 4, READ 1";
     }},
    {"clear_comm_error", clear_comm_error,
     [](const CallRequests& k) { return k.open_close + ", " + set_8n1(k) + ", GET_COMMSTATUS 3+, WRITE 1, PURGE 1"; }},
    {"device_error_latch", device_error_latch,
     [](const CallRequests& k) {
         return k.open_close + ", " + set_8n1(k) + ", SET_WAIT_MASK 2, GET_COMMSTATUS 2, WRITE 1";
     }},
    {"stalled_write", stalled_write,
     [](const CallRequests& k) {
         return k.open_close + ", " + set_8n1(k) + ", SET_TIMEOUTS 1, WRITE 1, SET_WAIT_MASK 2, GET_COMMSTATUS 1";
     }},
};

std::string join(const std::vector<std::string>& sequence)
{
    std::string text;
    for (const std::string& request : sequence) {
        text += (text.empty() ? "" : ", ") + request;
    }
    return text;
}

const Case* find_case(const std::string& name)
{
    for (const Case& c : kCases) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace

bool known_case(const std::string& name)
{
    return find_case(name) != nullptr;
}

Outcome run_case(const Side& side, const std::string& name)
{
    Outcome outcome;
    const Case* found = find_case(name);
    if (!found) {
        outcome.failures.push_back("no such case");
        return outcome;
    }
    failures.clear();
    side.take_requests(failures);  // what went before is not this case's
    found->run(side);
    const std::vector<std::string> sequence = side.take_requests(failures);
    outcome.requests = count(sequence);
    const bool wine = side.kernel32 == Kernel32::Wine;
    const CallRequests& sent = wine ? kWineRequests : kOurRequests;
    const std::string who = wine ? "Wine's kernel32 sent " : "our kernel32 sent ";
    if (found->in_order) {
        const std::string expected = found->in_order(sent);
        if (join(sequence) != expected) {
            failures.push_back(who + join(sequence) + ", expected " + expected);
        }
    }
    for (const std::string& difference : compare_requests(outcome.requests, found->requests(sent))) {
        failures.push_back(who + difference);
    }
    outcome.failures = failures;
    return outcome;
}

RequestCounts count(const std::vector<std::string>& sequence)
{
    RequestCounts counts;
    for (const std::string& request : sequence) {
        ++counts[request];
    }
    return counts;
}

std::string describe(const RequestCounts& requests)
{
    std::string text;
    for (const auto& [name, count] : requests) {
        text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    return text;
}

std::string short_request_name(const std::string& name)
{
    for (const char* prefix : {"IRP_MJ_", "IOCTL_SERIAL_"}) {
        if (name.rfind(prefix, 0) == 0) {
            return name.substr(std::strlen(prefix));
        }
    }
    return name;
}

std::vector<std::string> compare_requests(const RequestCounts& seen, const std::string& expected)
{
    struct Wanted {
        unsigned count = 0;
        bool at_least = false;
    };
    std::vector<std::string> differences;
    std::map<std::string, Wanted> wanted;  // a request named twice: the counts add up
    std::istringstream items(expected);
    std::string item;
    while (std::getline(items, item, ',')) {
        std::istringstream fields(item);
        std::string name, count;
        if (!(fields >> name >> count) || count.find_first_not_of("0123456789+") != std::string::npos ||
            count.find('+') < count.size() - 1 || count == "+") {
            differences.push_back("nothing to compare: \"" + item + "\" names no request and count");
            continue;
        }
        Wanted& entry = wanted[name];
        entry.at_least = entry.at_least || count.back() == '+';
        entry.count += unsigned(std::stoul(count));
    }
    for (const auto& [name, entry] : wanted) {
        const auto found = seen.find(name);
        const unsigned got = found == seen.end() ? 0 : found->second;
        if (entry.at_least ? got < entry.count : got != entry.count) {
            differences.push_back(name + " " + std::to_string(got) + " times, expected " + std::to_string(entry.count) +
                                  (entry.at_least ? "+" : ""));
        }
    }
    for (const auto& [name, count] : seen) {
        if (wanted.count(name) == 0) {
            differences.push_back(name + " " + std::to_string(count) + " times, expected none");
        }
    }
    return differences;
}

int run_cases(const Side& side, const std::vector<std::string>& names)
{
    int failed = 0;
    for (const std::string& name : names) {
        const DWORD started = GetTickCount();
        const Outcome outcome = run_case(side, name);
        const double seconds = (GetTickCount() - started) / 1000.0;
        if (outcome.failures.empty()) {
            std::printf("ok %s (%.1f s)\n", name.c_str(), seconds);
        } else {
            ++failed;
            std::printf("FAIL %s (%.1f s): %s", name.c_str(), seconds, outcome.failures.front().c_str());
            for (std::size_t f = 1; f < outcome.failures.size(); ++f) {
                std::printf("; %s", outcome.failures[f].c_str());
            }
            std::printf("\n");
        }
        std::printf("    requests: %s\n", describe(outcome.requests).c_str());
        std::fflush(stdout);
    }
    return failed;
}

}  // namespace serialcheck
