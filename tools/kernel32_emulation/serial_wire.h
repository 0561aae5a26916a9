// What kernel32 exchanges with a serial driver: the device-control codes and the structures in
// their buffers, with the sizes the driver checks. Kept apart from <windows.h>, as the DDK's
// serial header is on Windows; io_manager.cpp checks every value against the driver's view.
#pragma once

#include <cstdint>

namespace k32::wire {

constexpr uint32_t IOCTL_SERIAL_SET_BAUD_RATE = 0x1B0004;
constexpr uint32_t IOCTL_SERIAL_SET_QUEUE_SIZE = 0x1B0008;
constexpr uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = 0x1B000C;
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_ON = 0x1B0010;
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_OFF = 0x1B0014;
constexpr uint32_t IOCTL_SERIAL_IMMEDIATE_CHAR = 0x1B0018;
constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = 0x1B001C;
constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = 0x1B0020;
constexpr uint32_t IOCTL_SERIAL_SET_DTR = 0x1B0024;
constexpr uint32_t IOCTL_SERIAL_CLR_DTR = 0x1B0028;
constexpr uint32_t IOCTL_SERIAL_RESET_DEVICE = 0x1B002C;
constexpr uint32_t IOCTL_SERIAL_SET_RTS = 0x1B0030;
constexpr uint32_t IOCTL_SERIAL_CLR_RTS = 0x1B0034;
constexpr uint32_t IOCTL_SERIAL_SET_XOFF = 0x1B0038;
constexpr uint32_t IOCTL_SERIAL_SET_XON = 0x1B003C;
constexpr uint32_t IOCTL_SERIAL_GET_WAIT_MASK = 0x1B0040;
constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = 0x1B0044;
constexpr uint32_t IOCTL_SERIAL_WAIT_ON_MASK = 0x1B0048;
constexpr uint32_t IOCTL_SERIAL_PURGE = 0x1B004C;
constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE = 0x1B0050;
constexpr uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = 0x1B0054;
constexpr uint32_t IOCTL_SERIAL_GET_CHARS = 0x1B0058;
constexpr uint32_t IOCTL_SERIAL_SET_CHARS = 0x1B005C;
constexpr uint32_t IOCTL_SERIAL_GET_HANDFLOW = 0x1B0060;
constexpr uint32_t IOCTL_SERIAL_SET_HANDFLOW = 0x1B0064;
constexpr uint32_t IOCTL_SERIAL_GET_MODEMSTATUS = 0x1B0068;
constexpr uint32_t IOCTL_SERIAL_GET_COMMSTATUS = 0x1B006C;
constexpr uint32_t IOCTL_SERIAL_GET_PROPERTIES = 0x1B0074;

// The name of a control code for traces and counts ("IOCTL_SERIAL_GET_BAUD_RATE"), or its value in
// hexadecimal when it is none of the above.
const char* ControlName(uint32_t code);

struct SERIAL_BAUD_RATE {
    uint32_t BaudRate;
};

struct SERIAL_LINE_CONTROL {
    uint8_t StopBits;
    uint8_t Parity;
    uint8_t WordLength;
};

struct SERIAL_CHARS {
    uint8_t EofChar;
    uint8_t ErrorChar;
    uint8_t BreakChar;
    uint8_t EventChar;
    uint8_t XonChar;
    uint8_t XoffChar;
};

struct SERIAL_HANDFLOW {
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};

struct SERIAL_TIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

struct SERIAL_QUEUE_SIZE {
    uint32_t InSize;
    uint32_t OutSize;
};

struct SERIAL_STATUS {
    uint32_t Errors;
    uint32_t HoldReasons;
    uint32_t AmountInInQueue;
    uint32_t AmountInOutQueue;
    uint8_t EofReceived;
    uint8_t WaitForImmediate;
};

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_CHARS) == 6 && sizeof(SERIAL_HANDFLOW) == 16 &&
                  sizeof(SERIAL_TIMEOUTS) == 20 && sizeof(SERIAL_QUEUE_SIZE) == 8 && sizeof(SERIAL_STATUS) == 20,
              "the serial structures have the sizes the driver checks");
constexpr uint32_t kCommPropSize = 64;  // SERIAL_COMMPROP is COMMPROP

// SERIAL_HANDFLOW.ControlHandShake
constexpr uint32_t SERIAL_DTR_CONTROL = 0x01;
constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
constexpr uint32_t SERIAL_DTR_MASK = 0x03;
constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
constexpr uint32_t SERIAL_DSR_HANDSHAKE = 0x10;
constexpr uint32_t SERIAL_DSR_SENSITIVITY = 0x40;
constexpr uint32_t SERIAL_ERROR_ABORT = 0x80000000;
// SERIAL_HANDFLOW.FlowReplace
constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x02;
constexpr uint32_t SERIAL_ERROR_CHAR = 0x04;
constexpr uint32_t SERIAL_NULL_STRIPPING = 0x08;
constexpr uint32_t SERIAL_RTS_CONTROL = 0x40;
constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x80;
constexpr uint32_t SERIAL_TRANSMIT_TOGGLE = 0xC0;
constexpr uint32_t SERIAL_RTS_MASK = 0xC0;
constexpr uint32_t SERIAL_XOFF_CONTINUE = 0x80000000;
// SERIAL_STATUS.Errors
constexpr uint32_t SERIAL_ERROR_BREAK = 0x01;
constexpr uint32_t SERIAL_ERROR_FRAMING = 0x02;
constexpr uint32_t SERIAL_ERROR_OVERRUN = 0x04;
constexpr uint32_t SERIAL_ERROR_QUEUEOVERRUN = 0x08;
constexpr uint32_t SERIAL_ERROR_PARITY = 0x10;
// SERIAL_STATUS.HoldReasons
constexpr uint32_t SERIAL_TX_WAITING_FOR_CTS = 0x01;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DSR = 0x02;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DCD = 0x04;
constexpr uint32_t SERIAL_TX_WAITING_FOR_XON = 0x08;
constexpr uint32_t SERIAL_TX_WAITING_XOFF_SENT = 0x10;

}  // namespace k32::wire
