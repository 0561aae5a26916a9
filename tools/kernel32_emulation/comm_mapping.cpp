#include "comm_mapping.h"

namespace k32 {

using namespace wire;

DCB DcbFromSettings(const CommSettings& settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.baud.BaudRate;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    const uint32_t control = settings.handflow.ControlHandShake;
    const uint32_t flow = settings.handflow.FlowReplace;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDtrControl = (control & SERIAL_DTR_HANDSHAKE) != 0 ? DTR_CONTROL_HANDSHAKE
                      : (control & SERIAL_DTR_CONTROL) != 0 ? DTR_CONTROL_ENABLE
                                                            : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    switch (flow & SERIAL_RTS_MASK) {
        case SERIAL_RTS_CONTROL:
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case SERIAL_RTS_HANDSHAKE:
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        case SERIAL_TRANSMIT_TOGGLE:
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            break;
        default:
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            break;
    }
    dcb.XonLim = WORD(settings.handflow.XonLimit);
    dcb.XoffLim = WORD(settings.handflow.XoffLimit);
    dcb.ByteSize = settings.line.WordLength;
    dcb.Parity = settings.line.Parity;
    dcb.StopBits = settings.line.StopBits;
    dcb.XonChar = char(settings.chars.XonChar);
    dcb.XoffChar = char(settings.chars.XoffChar);
    dcb.ErrorChar = char(settings.chars.ErrorChar);
    dcb.EofChar = char(settings.chars.EofChar);
    dcb.EvtChar = char(settings.chars.EventChar);
    return dcb;
}

std::optional<CommSettings> SettingsFromDcb(const DCB& dcb)
{
    if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) {
        return std::nullopt;
    }
    CommSettings settings;
    settings.baud.BaudRate = dcb.BaudRate;
    settings.line = {dcb.StopBits, dcb.Parity, dcb.ByteSize};
    settings.chars = {uint8_t(dcb.EofChar), uint8_t(dcb.ErrorChar), 0,
                      uint8_t(dcb.EvtChar), uint8_t(dcb.XonChar),   uint8_t(dcb.XoffChar)};
    uint32_t control = 0;
    if (dcb.fOutxCtsFlow) {
        control |= SERIAL_CTS_HANDSHAKE;
    }
    if (dcb.fOutxDsrFlow) {
        control |= SERIAL_DSR_HANDSHAKE;
    }
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) {
        control |= SERIAL_DTR_CONTROL;
    } else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        control |= SERIAL_DTR_HANDSHAKE;
    }
    if (dcb.fDsrSensitivity) {
        control |= SERIAL_DSR_SENSITIVITY;
    }
    if (dcb.fAbortOnError) {
        control |= SERIAL_ERROR_ABORT;
    }
    uint32_t flow = 0;
    if (dcb.fOutX) {
        flow |= SERIAL_AUTO_TRANSMIT;
    }
    if (dcb.fInX) {
        flow |= SERIAL_AUTO_RECEIVE;
    }
    if (dcb.fErrorChar) {
        flow |= SERIAL_ERROR_CHAR;
    }
    if (dcb.fNull) {
        flow |= SERIAL_NULL_STRIPPING;
    }
    static constexpr uint32_t kRtsBits[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
    flow |= kRtsBits[dcb.fRtsControl];
    if (dcb.fTXContinueOnXoff) {
        flow |= SERIAL_XOFF_CONTINUE;
    }
    settings.handflow = {control, flow, dcb.XonLim, dcb.XoffLim};
    return settings;
}

std::optional<uint32_t> RtsRequest(const DCB& dcb)
{
    switch (dcb.fRtsControl) {
        case RTS_CONTROL_ENABLE:
        case RTS_CONTROL_TOGGLE:
            return IOCTL_SERIAL_SET_RTS;
        case RTS_CONTROL_DISABLE:
            return IOCTL_SERIAL_CLR_RTS;
        default:
            return std::nullopt;
    }
}

std::optional<uint32_t> DtrRequest(const DCB& dcb)
{
    switch (dcb.fDtrControl) {
        case DTR_CONTROL_ENABLE:
            return IOCTL_SERIAL_SET_DTR;
        case DTR_CONTROL_DISABLE:
            return IOCTL_SERIAL_CLR_DTR;
        default:
            return std::nullopt;
    }
}

DWORD CommErrorsFromStatus(const SERIAL_STATUS& status)
{
    static constexpr struct {
        uint32_t serial;
        DWORD win32;
    } kErrors[] = {{SERIAL_ERROR_BREAK, CE_BREAK},
                   {SERIAL_ERROR_FRAMING, CE_FRAME},
                   {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
                   {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
                   {SERIAL_ERROR_PARITY, CE_RXPARITY}};
    DWORD errors = 0;
    for (const auto& error : kErrors) {
        if ((status.Errors & error.serial) != 0) {
            errors |= error.win32;
        }
    }
    return errors;
}

COMSTAT ComstatFromStatus(const SERIAL_STATUS& status)
{
    COMSTAT comstat{};
    comstat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    comstat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    comstat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    comstat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    comstat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    comstat.fEof = status.EofReceived != 0;
    comstat.fTxim = status.WaitForImmediate != 0;
    comstat.cbInQue = status.AmountInInQueue;
    comstat.cbOutQue = status.AmountInOutQueue;
    return comstat;
}

}  // namespace k32
