// Port naming: the DOS-device link, the SERIALCOMM entry and the device interface, how they
// are undone, and the registry values that decide them.
#include "driver_fixture.h"

namespace quenta {
namespace {

const std::u16string kDevice0 = u"\\Device\\tavrinusb0";

using PortNaming = DriverTest;

TEST_F(PortNaming, AStartedPortHasItsLinkItsSerialCommEntryAndItsInterface) {
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  PDEVICE_OBJECT fdo = Attach(handset);
  EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\DosDevices\\COM5"), kDevice0);
  EXPECT_EQ(kemu::SerialCommValue(kDevice0), u"COM5");
  auto interfaces = kemu::DeviceInterfaces(handset.Pdo());
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_NE(interfaces[0].name.find(u"{9B2095CE-99A1-44D9-A7C6-C7CB5841FEDB}"), std::u16string::npos);
  PortExtension* port = Port(fdo);
  EXPECT_TRUE(port->CreatedSymbolicLink && port->WroteDeviceMap);
  EXPECT_EQ(port->SymbolicLinkName.MaximumLength, port->SymbolicLinkName.Length + 2);
  EXPECT_EQ(kemu::OpenKeyCount(), 0u);

  kemu::ClearCallLog();
  Remove(handset);
  EXPECT_EQ(kemu::CallLog(),
            (std::vector<std::string>{"IoSetDeviceInterfaceState FALSE", "IoDeleteSymbolicLink \\DosDevices\\COM5",
                                      "RtlDeleteRegistryValue SERIALCOMM \\Device\\tavrinusb0",
                                      "PoRequestPowerIrp SET_POWER D3"}));
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
  EXPECT_FALSE(kemu::DeviceInterfaces(handset.Pdo())[0].enabled);
}

TEST_F(PortNaming, TheSkipSwitchLeavesTheNamingToSomeoneElse) {
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  kemu::SetDeviceDword(handset.Pdo(), u"UsbSkipExternalNaming", 1);
  PDEVICE_OBJECT fdo = Attach(handset);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
  EXPECT_TRUE(kemu::DeviceInterfaces(handset.Pdo()).empty());
  OpenPort(fdo);  // the port still works
  EXPECT_EQ(Close(fdo), STATUS_SUCCESS);
}

TEST_F(PortNaming, WithoutPortNameTheIdentifierNamesThePort) {
  kemu::UsbHandset& handset = AddHandset(u"");
  kemu::SetDeviceString(handset.Pdo(), u"Identifier", u"HANDSET1");
  Attach(handset);
  EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\DosDevices\\HANDSET1"), kDevice0);
  EXPECT_EQ(kemu::SerialCommValue(kDevice0), u"HANDSET1");
}

TEST_F(PortNaming, AnEmptyPortNameIsReadAndGivesNoName) {
  kemu::UsbHandset& handset = AddHandset(u"");
  kemu::SetDeviceString(handset.Pdo(), u"PortName", u"");
  kemu::SetDeviceString(handset.Pdo(), u"Identifier", u"COM8");
  PDEVICE_OBJECT fdo = Attach(handset);
  // The value was read, so the identifier is not looked at; the link "\DosDevices\" is refused.
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
  EXPECT_EQ(Port(fdo)->PnpState, PnpStateStarted);
  EXPECT_EQ(Port(fdo)->SymbolicLinkName.Buffer, nullptr);
}

TEST_F(PortNaming, APortWithoutAnyNameStillStarts) {
  kemu::UsbHandset& handset = AddHandset(u"");
  PDEVICE_OBJECT fdo = Attach(handset);
  EXPECT_EQ(Port(fdo)->PnpState, PnpStateStarted);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
}

TEST_F(PortNaming, ThirtyTwoCharactersFitTheComNameAndThirtyThreeDoNot) {
  std::u16string name32(32, u'N'), name33(33, u'L');
  Attach(AddHandset(name32));
  EXPECT_EQ(kemu::SerialCommValue(kDevice0), name32);
  Attach(AddHandset(name33));
  EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\DosDevices\\" + name33), u"\\Device\\tavrinusb1");
  EXPECT_EQ(kemu::SerialCommValue(u"\\Device\\tavrinusb1"), u"");  // a link, but an empty entry
}

TEST_F(PortNaming, ANameTooLongForTheLinkLeavesTheDeviceUnnamed) {
  std::u16string longest(128, u'X');  // 256 bytes read, but "\DosDevices\" does not fit beside it
  kemu::UsbHandset& handset = AddHandset(longest);
  PDEVICE_OBJECT fdo = Attach(handset);
  EXPECT_EQ(Port(fdo)->PnpState, PnpStateStarted);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  std::u16string tooLong(129, u'X');  // does not fit the 256 bytes read
  kemu::SetDeviceString(handset.Pdo(), u"PortName", tooLong);
  kemu::SetDeviceString(handset.Pdo(), u"Identifier", u"COM4");
  ASSERT_EQ(Pnp(handset, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\DosDevices\\COM4"), kDevice0);
}

TEST_F(PortNaming, RemovalDeletesTheLinkThatWasMadeEvenAfterPortNameChanged) {
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  Attach(handset);
  kemu::SetDeviceString(handset.Pdo(), u"PortName", u"COM6");
  Remove(handset);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);  // neither the old link stays nor a new one is tried
}

TEST_F(PortNaming, ARestartNamesThePortAgainWithoutLeftovers) {
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  Attach(handset);
  size_t blocks = kemu::PoolBlocksInUse();
  kemu::SetDeviceString(handset.Pdo(), u"PortName", u"COM6");
  ASSERT_EQ(Pnp(handset, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(handset, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::SymbolicLinkTarget(u"\\DosDevices\\COM6"), kDevice0);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 1u);
  EXPECT_EQ(kemu::SerialCommValue(kDevice0), u"COM6");
  EXPECT_EQ(kemu::PoolBlocksInUse(), blocks);
}

struct NamingFailure {
  const char* call;  // or, when null, the "COMX" allocation after skip others (5 to 9: naming's)
  int skip;
};

class NamingFailures : public DriverTest, public ::testing::WithParamInterface<NamingFailure> {};

TEST_P(NamingFailures, UndoEveryStepAndStillStartTheDevice) {
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  if (GetParam().call)
    kemu::FailCall(GetParam().call, STATUS_INSUFFICIENT_RESOURCES, GetParam().skip);
  else
    kemu::FailPoolAllocations({.tag = kComx, .skip = GetParam().skip});
  ASSERT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  PortExtension* port = Port(FdoOf(handset));
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
  for (auto& interface : kemu::DeviceInterfaces(handset.Pdo())) EXPECT_FALSE(interface.enabled);
  EXPECT_FALSE(port->CreatedSymbolicLink || port->WroteDeviceMap);
  EXPECT_EQ(port->SymbolicLinkName.Buffer, nullptr);
  EXPECT_EQ(port->ComName.Buffer, nullptr);
  EXPECT_EQ(port->InterfaceName.Buffer, nullptr);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 2u);  // the registry path and ValueName
  EXPECT_EQ(kemu::OpenKeyCount(), 0u);
}

// The order of the undoing: the link, the SERIALCOMM value (whether it was written or not), then
// the interface.
TEST_F(PortNaming, AFailedNamingUndoesItsStepsInOrder) {
  const std::string link = "\\DosDevices\\COM5";
  const std::string value = "SERIALCOMM \\Device\\tavrinusb0";
  kemu::UsbHandset& handset = AddHandset(u"COM5");
  ASSERT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  kemu::FailCall("IoSetDeviceInterfaceState", STATUS_UNSUCCESSFUL);
  kemu::ClearCallLog();
  ASSERT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::CallLog(),
            (std::vector<std::string>{"IoCreateSymbolicLink " + link, "RtlWriteRegistryValue " + value,
                                      "IoRegisterDeviceInterface", "IoSetDeviceInterfaceState TRUE",
                                      "IoDeleteSymbolicLink " + link, "RtlDeleteRegistryValue " + value,
                                      "IoSetDeviceInterfaceState FALSE"}));

  kemu::UsbHandset& other = AddHandset(u"COM6");
  ASSERT_EQ(kemu::AddDevice(driver_, other.Pdo()), STATUS_SUCCESS);
  kemu::FailCall("IoCreateSymbolicLink", STATUS_UNSUCCESSFUL);
  kemu::ClearCallLog();
  ASSERT_EQ(kemu::StartDevice(other.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::CallLog(), (std::vector<std::string>{"IoCreateSymbolicLink \\DosDevices\\COM6",
                                                       "RtlDeleteRegistryValue SERIALCOMM \\Device\\tavrinusb1"}));
}

INSTANTIATE_TEST_SUITE_P(PortNaming, NamingFailures,
                         ::testing::Values(NamingFailure{"IoOpenDeviceRegistryKey", 1},  // after the power settings
                                           NamingFailure{"IoCreateSymbolicLink", 0},
                                           NamingFailure{"RtlWriteRegistryValue", 0},
                                           NamingFailure{"IoRegisterDeviceInterface", 0},
                                           NamingFailure{"IoSetDeviceInterfaceState", 0}, NamingFailure{nullptr, 5},
                                           NamingFailure{nullptr, 6}, NamingFailure{nullptr, 7},
                                           NamingFailure{nullptr, 8}, NamingFailure{nullptr, 9}));

}  // namespace
}  // namespace quenta
