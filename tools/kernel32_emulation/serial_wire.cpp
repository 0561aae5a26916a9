#include "serial_wire.h"

#include <cstdio>

namespace k32::wire {

const char* ControlName(uint32_t code)
{
    switch (code) {
#define K32_NAME(name) \
    case name:         \
        return #name;
        K32_NAME(IOCTL_SERIAL_SET_BAUD_RATE)
        K32_NAME(IOCTL_SERIAL_SET_QUEUE_SIZE)
        K32_NAME(IOCTL_SERIAL_SET_LINE_CONTROL)
        K32_NAME(IOCTL_SERIAL_SET_BREAK_ON)
        K32_NAME(IOCTL_SERIAL_SET_BREAK_OFF)
        K32_NAME(IOCTL_SERIAL_IMMEDIATE_CHAR)
        K32_NAME(IOCTL_SERIAL_SET_TIMEOUTS)
        K32_NAME(IOCTL_SERIAL_GET_TIMEOUTS)
        K32_NAME(IOCTL_SERIAL_SET_DTR)
        K32_NAME(IOCTL_SERIAL_CLR_DTR)
        K32_NAME(IOCTL_SERIAL_RESET_DEVICE)
        K32_NAME(IOCTL_SERIAL_SET_RTS)
        K32_NAME(IOCTL_SERIAL_CLR_RTS)
        K32_NAME(IOCTL_SERIAL_SET_XOFF)
        K32_NAME(IOCTL_SERIAL_SET_XON)
        K32_NAME(IOCTL_SERIAL_GET_WAIT_MASK)
        K32_NAME(IOCTL_SERIAL_SET_WAIT_MASK)
        K32_NAME(IOCTL_SERIAL_WAIT_ON_MASK)
        K32_NAME(IOCTL_SERIAL_PURGE)
        K32_NAME(IOCTL_SERIAL_GET_BAUD_RATE)
        K32_NAME(IOCTL_SERIAL_GET_LINE_CONTROL)
        K32_NAME(IOCTL_SERIAL_GET_CHARS)
        K32_NAME(IOCTL_SERIAL_SET_CHARS)
        K32_NAME(IOCTL_SERIAL_GET_HANDFLOW)
        K32_NAME(IOCTL_SERIAL_SET_HANDFLOW)
        K32_NAME(IOCTL_SERIAL_GET_MODEMSTATUS)
        K32_NAME(IOCTL_SERIAL_GET_COMMSTATUS)
        K32_NAME(IOCTL_SERIAL_GET_PROPERTIES)
#undef K32_NAME
        default: {
            thread_local char text[16];
            std::snprintf(text, sizeof text, "IOCTL 0x%X", static_cast<unsigned>(code));
            return text;
        }
    }
}

}  // namespace k32::wire
