// What each Win32 communications call sends the driver, in order, and how the port's state travels:
// the DOS device names that reach the port, the DCB through both orders of SetCommState, a
// refused setting rolled back, and the calls answered from the driver's status and properties.
#include "serial_api_fixture.h"

namespace usbpath {
namespace {

using Requests = std::vector<std::string>;

DCB StateOf(HANDLE port)
{
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb)) << "error " << GetLastError();
    return dcb;
}

TEST_F(SerialApi, ThePortOpensByItsDosNamesOnlyOnceAndClosesWithCleanupThenClose)
{
    for (const char* name : {"COM5", "com5", "COM5:", "\\\\.\\COM5"}) {
        HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(RequestsSent(), Requests{"IRP_MJ_CREATE"}) << name;
        // One open at a time: the driver refuses a second.
        EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        RequestsSent();
        EXPECT_TRUE(CloseHandle(port));
        EXPECT_EQ(RequestsSent(), (Requests{"IRP_MJ_CLEANUP", "IRP_MJ_CLOSE"})) << name;
    }
    for (const char* name : {"COM6", "\\\\.\\COM6", "COM50", "notes.txt"}) {
        EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
    EXPECT_TRUE(RequestsSent().empty());
    EXPECT_FALSE(CloseHandle(port_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SerialApi, EachCallSendsTheRequestsWindowsSends)
{
    Open();
    DCB dcb = StateOf(port_);
    EXPECT_EQ(RequestsSent(), (Requests{"IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_GET_LINE_CONTROL",
                                        "IOCTL_SERIAL_GET_CHARS", "IOCTL_SERIAL_GET_HANDFLOW"}));
    ASSERT_TRUE(SetCommState(port_, &dcb));
    // The read-back first, then the settings with the line requests between baud rate and line control.
    EXPECT_EQ(RequestsSent(),
              (Requests{"IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_GET_LINE_CONTROL", "IOCTL_SERIAL_GET_CHARS",
                        "IOCTL_SERIAL_GET_HANDFLOW", "IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_RTS",
                        "IOCTL_SERIAL_SET_DTR", "IOCTL_SERIAL_SET_LINE_CONTROL", "IOCTL_SERIAL_SET_CHARS",
                        "IOCTL_SERIAL_SET_HANDFLOW"}));
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    Requests sent = RequestsSent();
    EXPECT_EQ(Requests(sent.begin() + 4, sent.end()),
              (Requests{"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_CLR_RTS", "IOCTL_SERIAL_SET_LINE_CONTROL",
                        "IOCTL_SERIAL_SET_CHARS", "IOCTL_SERIAL_SET_HANDFLOW"}));

    k32::SetCommStateOrder(k32::CommStateOrder::Wine);
    dcb = StateOf(port_);
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(RequestsSent(),
              (Requests{"IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_GET_LINE_CONTROL", "IOCTL_SERIAL_GET_HANDFLOW",
                        "IOCTL_SERIAL_GET_CHARS", "IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
                        "IOCTL_SERIAL_SET_HANDFLOW", "IOCTL_SERIAL_SET_CHARS"}));

    COMMTIMEOUTS timeouts{};
    DWORD value = 0;
    COMSTAT stat{};
    COMMPROP properties{};
    EXPECT_TRUE(GetCommTimeouts(port_, &timeouts));
    EXPECT_TRUE(SetCommTimeouts(port_, &timeouts));
    EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_TRUE(GetCommMask(port_, &value));
    EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    EXPECT_TRUE(ClearCommError(port_, &value, &stat));
    EXPECT_TRUE(SetupComm(port_, 2048, 2048));
    EXPECT_TRUE(GetCommModemStatus(port_, &value));
    EXPECT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_TRUE(TransmitCommChar(port_, 'x'));
    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(RequestsSent(),
              (Requests{"IOCTL_SERIAL_GET_TIMEOUTS", "IOCTL_SERIAL_SET_TIMEOUTS", "IOCTL_SERIAL_SET_WAIT_MASK",
                        "IOCTL_SERIAL_GET_WAIT_MASK", "IOCTL_SERIAL_PURGE", "IOCTL_SERIAL_GET_COMMSTATUS",
                        "IOCTL_SERIAL_SET_QUEUE_SIZE", "IOCTL_SERIAL_GET_MODEMSTATUS", "IOCTL_SERIAL_GET_PROPERTIES",
                        "IOCTL_SERIAL_IMMEDIATE_CHAR", "IRP_MJ_FLUSH_BUFFERS"}));

    for (DWORD function = SETXOFF; function <= CLRBREAK; ++function) {
        EXPECT_TRUE(EscapeCommFunction(port_, function)) << function;
    }
    EXPECT_TRUE(SetCommBreak(port_));
    EXPECT_TRUE(ClearCommBreak(port_));
    EXPECT_EQ(RequestsSent(),
              (Requests{"IOCTL_SERIAL_SET_XOFF", "IOCTL_SERIAL_SET_XON", "IOCTL_SERIAL_SET_RTS", "IOCTL_SERIAL_CLR_RTS",
                        "IOCTL_SERIAL_SET_DTR", "IOCTL_SERIAL_CLR_DTR", "IOCTL_SERIAL_RESET_DEVICE",
                        "IOCTL_SERIAL_SET_BREAK_ON", "IOCTL_SERIAL_SET_BREAK_OFF", "IOCTL_SERIAL_SET_BREAK_ON",
                        "IOCTL_SERIAL_SET_BREAK_OFF"}));
    // What no driver would understand never reaches one.
    for (DWORD function : {0u, 10u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(EscapeCommFunction(port_, function));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    dcb.fDtrControl = 3;
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(RequestsSent().empty());
}

TEST_F(SerialApi, EveryFieldOfTheDcbTravelsAndReadsBackInEitherOrder)
{
    Open();
    DCB found = StateOf(port_);
    EXPECT_EQ(found.DCBlength, sizeof(DCB));
    EXPECT_EQ(found.BaudRate, 115200u);
    EXPECT_EQ(found.fBinary, 1u);
    EXPECT_EQ(found.ByteSize, 7);  // the driver's default line: 7 data bits, even parity
    EXPECT_EQ(found.Parity, EVENPARITY);
    EXPECT_EQ(found.StopBits, ONESTOPBIT);
    EXPECT_EQ(found.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(found.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(found.XonChar, 0x11);
    EXPECT_EQ(found.XoffChar, 0x13);
    EXPECT_EQ(found.XonLim, 2048);  // half and an eighth of the 4096-byte receive ring
    EXPECT_EQ(found.XoffLim, 512);

    for (k32::CommStateOrder order : {k32::CommStateOrder::RealWindows, k32::CommStateOrder::Wine}) {
        k32::SetCommStateOrder(order);
        DCB dcb = found;
        dcb.BaudRate = order == k32::CommStateOrder::Wine ? 9600 : 57600;
        dcb.fParity = 1;
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fDsrSensitivity = 1;
        dcb.fTXContinueOnXoff = 1;
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.fErrorChar = 1;
        dcb.fNull = 1;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        dcb.fAbortOnError = 1;
        dcb.XonLim = 100;
        dcb.XoffLim = 200;
        dcb.ByteSize = 5;
        dcb.Parity = SPACEPARITY;
        dcb.StopBits = ONE5STOPBITS;
        dcb.XonChar = 'A';
        dcb.XoffChar = 'B';
        dcb.ErrorChar = '?';
        dcb.EofChar = 0x1A;
        dcb.EvtChar = '\n';
        ASSERT_TRUE(SetCommState(port_, &dcb)) << "error " << GetLastError();
        DCB back = StateOf(port_);
        dcb.fParity = 0;  // Windows always reports it clear
        EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0);

        // What the driver holds, in its own terms.
        DWORD returned = 0;
        uint32_t handflow[4] = {};
        ASSERT_TRUE(DeviceIoControl(port_, 0x1B0060, nullptr, 0, handflow, sizeof handflow, &returned, nullptr));
        EXPECT_EQ(returned, 16u);
        EXPECT_EQ(handflow[0], 0x08u | 0x10u | 0x02u | 0x40u | 0x80000000u);
        EXPECT_EQ(handflow[1], 0x01u | 0x02u | 0x04u | 0x08u | 0xC0u | 0x80000000u);
        EXPECT_EQ(handflow[2], 100u);
        EXPECT_EQ(handflow[3], 200u);
    }
}

// A DCB the driver refuses leaves the port as it was: the settings SetCommState read before it
// began are put back, and the refusal's error is the call's.
TEST_F(SerialApi, ARefusedLineControlRollsBackTheSettingsAlreadySent)
{
    Open();
    DCB before = StateOf(port_);
    DCB bad = before;
    bad.BaudRate = 300;
    bad.ByteSize = 255;
    EXPECT_FALSE(SetCommState(port_, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DCB after = StateOf(port_);
    EXPECT_EQ(after.BaudRate, 115200u);
    EXPECT_EQ(after.ByteSize, before.ByteSize);
    DWORD errors = 0xFF;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);  // a refused setting is no line error
}

// XON and XOFF may be the same character: the driver takes it and reports it back (the choice made
// where Windows' own documentation and its drivers disagree).
TEST_F(SerialApi, XonAndXoffMayBeTheSameCharacter)
{
    Open();
    DCB dcb = StateOf(port_);
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    EXPECT_TRUE(SetCommState(port_, &dcb));
    DCB back = StateOf(port_);
    EXPECT_EQ(back.XonChar, 0);
    EXPECT_EQ(back.XoffChar, 0);
}

TEST_F(SerialApi, StatusPropertiesAndTheImmediateCharacterComeFromTheDriver)
{
    Open();
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem & 0xF0, MS_CTS_ON | MS_DSR_ON);
    COMMPROP properties{};
    EXPECT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.wPacketLength, 64);
    EXPECT_EQ(properties.wPacketVersion, 2);
    EXPECT_EQ(properties.dwCurrentRxQueue, 4096u);
    EXPECT_TRUE(SetupComm(port_, 10000, 10000));
    EXPECT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.dwCurrentRxQueue, 10000u);
    EXPECT_TRUE(SetupComm(port_, 100, 100));  // the queue only ever grows
    EXPECT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.dwCurrentRxQueue, 10000u);
    EXPECT_TRUE(TransmitCommChar(port_, '!'));
    ASSERT_EQ(handset_->OutTransfers().size(), 1u);
    EXPECT_EQ(handset_->OutTransfers()[0], std::vector<UCHAR>{'!'});
}

}  // namespace
}  // namespace usbpath
