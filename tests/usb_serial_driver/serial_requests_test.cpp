// The serial request set: the buffer lengths every request needs, the settings read back as
// they were set, the checks that refuse a setting, the texts printed for what the handset cannot
// do, the status and properties, the power-up rule, and the four internal requests.
#include "serial_port_fixture.h"

namespace quenta {
namespace {

constexpr ULONG GetCommConfig = 0x1B0084;  // CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, ...)
constexpr ULONG SetCommConfig = 0x1B0088;

class SerialRequests : public SerialPortTest {
 protected:
  kemu::Request Internal(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength) {
    kemu::Request request = kemu::Request::DeviceControl(fdo_, code, input, outputLength, true);
    request.Send();
    return request;
  }
  NTSTATUS SetLine(UCHAR wordLength, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL line = {stopBits, parity, wordLength};
    return Set(IOCTL_SERIAL_SET_LINE_CONTROL, line);
  }
};

struct LengthRule {
  ULONG code;
  ULONG input;
  ULONG output;
};

TEST_F(SerialRequests, EveryRequestRefusesABufferShorterThanItsStructure) {
  const LengthRule rules[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},     {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
      {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},  {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},     {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
      {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},     {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
      {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},      {IOCTL_SERIAL_PURGE, 4, 0},
      {IOCTL_SERIAL_GET_CHARS, 0, 6},         {IOCTL_SERIAL_SET_CHARS, 6, 0},
      {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},     {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
      {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},   {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
      {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},     {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
      {IOCTL_SERIAL_GET_DTRRTS, 0, 4},        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
      {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},       {IOCTL_SERIAL_GET_STATS, 0, 24},
      {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4}, {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
      {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0},
  };
  for (const LengthRule& rule : rules) {
    SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << rule.code);
    if (rule.input) {
      kemu::Request shortInput = Control(rule.code, std::vector<UCHAR>(rule.input - 1, 0), 0);
      EXPECT_EQ(shortInput.Status(), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(shortInput.Information(), 0u);
    }
    if (rule.output) {
      kemu::Request shortOutput = Control(rule.code, {}, rule.output - 1);
      EXPECT_EQ(shortOutput.Status(), STATUS_BUFFER_TOO_SMALL);
      // A long enough output buffer with a longer input in front: the output still fits.
      kemu::Request fits = Control(rule.code, std::vector<UCHAR>(rule.output + 8, 0), rule.output);
      if (rule.code != IOCTL_SERIAL_WAIT_ON_MASK) {
        EXPECT_EQ(fits.Information(), rule.output);
      }
    }
  }
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(SerialRequests, CodesOutsideTheSetAreInvalid) {
  EXPECT_EQ(Control(GetCommConfig, {}, 64).Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(SetCommConfig, std::vector<UCHAR>(64), 0).Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(0x2A0000, {}, 0).Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Internal(0x1B0014, {}, 0).Status(), STATUS_INVALID_PARAMETER);
}

TEST_F(SerialRequests, SettingsReadBackAsTheyWereSet) {
  for (ULONG baud : {0u, 9600u, 115200u, 0xFFFFFFFFu}) {
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{baud}), STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, baud);
  }
  SERIAL_CHARS chars = {1, 2, 3, 4, 0x11, 0x11};  // XonChar equal to XoffChar is taken as given
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(chars, Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)));
  SERIAL_HANDFLOW flow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 100, 4096};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(flow, Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)));
  SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(timeouts, Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)));
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG(0x1234)), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x34u);  // the low byte
}

TEST_F(SerialRequests, LineControlIsCheckedAndDecoded) {
  SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);  // the default, 7E1
  EXPECT_EQ(line.WordLength, 7);
  EXPECT_EQ(line.Parity, EVEN_PARITY);
  EXPECT_EQ(line.StopBits, STOP_BIT_1);
  EXPECT_EQ(SetLine(5, NO_PARITY, STOP_BITS_2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetLine(8, NO_PARITY, STOP_BITS_1_5), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetLine(4, NO_PARITY, STOP_BIT_1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetLine(9, NO_PARITY, STOP_BIT_1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetLine(8, SPACE_PARITY + 1, STOP_BIT_1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetLine(8, NO_PARITY, 3), STATUS_INVALID_PARAMETER);
  port_->LineControl |= 0x40;  // break is kept across changes
  ASSERT_EQ(SetLine(5, MARK_PARITY, STOP_BITS_1_5), STATUS_SUCCESS);
  EXPECT_EQ(port_->LineControl, 0x40 | 0x28 | 0x04 | 0x00);
  line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(line.WordLength, 5);
  EXPECT_EQ(line.Parity, MARK_PARITY);
  EXPECT_EQ(line.StopBits, STOP_BITS_1_5);
  ASSERT_EQ(SetLine(8, ODD_PARITY, STOP_BITS_2), STATUS_SUCCESS);
  line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(line.WordLength, 8);
  EXPECT_EQ(line.Parity, ODD_PARITY);
  EXPECT_EQ(line.StopBits, STOP_BITS_2);
}

TEST_F(SerialRequests, HandflowAndTimeoutsAreChecked) {
  SERIAL_HANDFLOW good = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
  auto refused = [&](void (*spoil)(SERIAL_HANDFLOW&)) {
    SERIAL_HANDFLOW flow = good;
    spoil(flow);
    return Set(IOCTL_SERIAL_SET_HANDFLOW, flow) == STATUS_INVALID_PARAMETER;
  };
  EXPECT_TRUE(refused([](SERIAL_HANDFLOW& f) { f.ControlHandShake |= 0x4; }));
  EXPECT_TRUE(refused([](SERIAL_HANDFLOW& f) { f.FlowReplace |= 0x20; }));
  EXPECT_TRUE(refused([](SERIAL_HANDFLOW& f) { f.ControlHandShake |= SERIAL_DTR_MASK; }));
  EXPECT_TRUE(refused([](SERIAL_HANDFLOW& f) { f.XonLimit = -1; }));
  EXPECT_TRUE(refused([](SERIAL_HANDFLOW& f) { f.XoffLimit = 4097; }));
  EXPECT_TRUE(SameBytes(good, Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)));

  SERIAL_TIMEOUTS allMax = {MAXULONG, MAXULONG, MAXULONG, 0, 0};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, allMax), STATUS_INVALID_PARAMETER);
  for (int keep = 0; keep < 3; ++keep) {
    SERIAL_TIMEOUTS twoMax = allMax;
    (&twoMax.ReadIntervalTimeout)[keep] = 10;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, twoMax), STATUS_SUCCESS);
  }
}

TEST_F(SerialRequests, DtrAndRtsReportWhatWasLastSet) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_DTR_STATE | SERIAL_RTS_STATE));  // on at open
  EXPECT_EQ(Control(IOCTL_SERIAL_CLR_DTR).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_RTS_STATE));
  EXPECT_EQ(Control(IOCTL_SERIAL_CLR_RTS).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_RTS).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_RTS_STATE));
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
}

TEST_F(SerialRequests, WhatTheHandsetCannotDoIsAcceptedAndPrinted) {
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_RESET_DEVICE).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_FIFO_CONTROL, Bytes(ULONG(0xC7))).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0xFF}).Status(), STATUS_SUCCESS);
  SERIAL_XOFF_COUNTER counter = {1000, 0, 0x13};
  EXPECT_EQ(Set(IOCTL_SERIAL_XOFF_COUNTER, counter), STATUS_INVALID_PARAMETER);
  counter.Counter = 1;
  EXPECT_EQ(Set(IOCTL_SERIAL_XOFF_COUNTER, counter), STATUS_SUCCESS);
  EXPECT_TRUE(handset_->OutTransfers().empty());  // nothing is sent
  for (const char* text : {"Need  IOCTL_SERIAL_SET_BREAK_ON !!!\n", "Need  IOCTL_SERIAL_SET_BREAK_OFF !!!\n",
                           "Need  IOCTL_SERIAL_RESET_DEVICE !!!\n", "Need IOCTL_SERIAL_SET_FIFO_CONTROL\n",
                           "Need IOCTL_SERIAL_LSRMST_INSERT\n", "Need IOCTL_SERIAL_XOFF_COUNTER\n"})
    EXPECT_EQ(kemu::CountDebugLines(text), 1u) << text;
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_XOFF).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, SERIAL_TX_WAITING_FOR_XON);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_XON).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0u);
  EXPECT_TRUE(Logged("Need  IOCTL_SERIAL_SET_XOFF !!!\n") && Logged("Need  IOCTL_SERIAL_SET_XON !!!\n"));
}

TEST_F(SerialRequests, StatusAndPropertiesDescribeASoftwarePort) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
  SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(properties.PacketLength, 64);
  EXPECT_EQ(properties.PacketVersion, 2);
  EXPECT_EQ(properties.ServiceMask, SERIAL_SP_SERIALCOMM);
  EXPECT_EQ(properties.MaxBaud, SERIAL_BAUD_USER);
  EXPECT_EQ(properties.SettableBaud, SERIAL_BAUD_USER);
  EXPECT_EQ(properties.ProvSubType, SERIAL_SP_RS232);
  EXPECT_EQ(properties.ProvCapabilities, 0xFFu);
  EXPECT_EQ(properties.SettableParams, 0x7Fu);
  EXPECT_EQ(properties.SettableData, 0x000F);
  EXPECT_EQ(properties.SettableStopParity, 0x1F07);
  EXPECT_EQ(properties.CurrentRxQueue, 4096u);
  EXPECT_EQ(properties.MaxTxQueue + properties.MaxRxQueue + properties.CurrentTxQueue, 0u);
  SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);  // a new port: nothing to report
  EXPECT_EQ(status.Errors | status.HoldReasons | status.AmountInInQueue | status.AmountInOutQueue, 0u);
  EXPECT_FALSE(status.EofReceived || status.WaitForImmediate);
}

TEST_F(SerialRequests, AfterATransferFailureOnlyTheStatusPassesAndReadingItReopensThePort) {
  ASSERT_TRUE(handset_->FailIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  EXPECT_EQ(Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status(), STATUS_CANCELLED);
  EXPECT_EQ(Write("x").Status(), STATUS_CANCELLED);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, DeviceErrorLatch);
  EXPECT_EQ(Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status(), STATUS_SUCCESS);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0).Status(), STATUS_SUCCESS);
}

TEST_F(SerialRequests, ASettingThatNeedsPowerAsksForD0First) {
  port_->DevicePowerState = PowerDeviceD3;  // as if a power-down had not closed the port
  kemu::ClearCallLog();
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{300}), STATUS_SUCCESS);
  EXPECT_EQ(kemu::CallLog(), (std::vector<std::string>{"PoRequestPowerIrp SET_POWER D0"}));
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  port_->DevicePowerState = PowerDeviceD3;
  handset_->FailRequest(IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR).Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 300u);  // a query needs no power
  port_->DevicePowerState = PowerDeviceD0;
}

TEST_F(SerialRequests, TheInternalRequestsSaveAndRestoreTheTimeoutsAndArmWake) {
  SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 43).Status(), STATUS_BUFFER_TOO_SMALL);
  kemu::Request saved = Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44);
  ASSERT_EQ(saved.Status(), STATUS_SUCCESS);
  ASSERT_EQ(saved.Information(), 44u);
  SERIAL_BASIC_SETTINGS settings;
  memcpy(&settings, saved.Output().data(), sizeof settings);
  EXPECT_TRUE(SameBytes(settings.Timeouts, timeouts));
  EXPECT_EQ(settings.HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
  EXPECT_EQ(settings.RxFifo, 1u);
  EXPECT_EQ(settings.TxFifo, 1u);
  SERIAL_TIMEOUTS cleared = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(cleared.ReadIntervalTimeout | cleared.ReadTotalTimeoutConstant | cleared.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, std::vector<UCHAR>(43), 0).Status(),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(settings), 0).Status(), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(timeouts, Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)));

  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0).Status(), STATUS_SUCCESS);
  EXPECT_TRUE(port_->WaitWakeEnabled);  // Sleeping1 maps to D2, which the device wakes from
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 0).Status(), STATUS_SUCCESS);
  EXPECT_FALSE(port_->WaitWakeEnabled);
  port_->DeviceWake = PowerDeviceD1;  // no sleeping state maps that shallow
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0).Status(), STATUS_SUCCESS);
  EXPECT_FALSE(port_->WaitWakeEnabled);
}

}  // namespace
}  // namespace quenta
