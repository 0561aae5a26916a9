// USB configuration at start: descriptors, the selected interface and its pipes, and every way
// the configuration can fail.
#include "driver_fixture.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {
namespace {

using Control = kemu::UsbHandset::Control;

class UsbConfiguration : public DriverTest {
 protected:
  NTSTATUS Start(kemu::UsbHandset& handset) {
    EXPECT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
    return kemu::StartDevice(handset.Pdo());
  }
};

TEST_F(UsbConfiguration, ReadsTheDescriptorsAndSelectsInterfaceZeroWithItsTwoPipes) {
  kemu::UsbHandset& handset = AddHandset();
  PDEVICE_OBJECT fdo = Attach(handset);
  PortExtension* port = Port(fdo);
  EXPECT_EQ(port->DeviceDescriptor.idVendor, 0x1234);
  EXPECT_EQ(port->DeviceDescriptor.idProduct, 0x5678);
  ASSERT_NE(port->ConfigDescriptor, nullptr);
  EXPECT_EQ(port->ConfigDescriptor->wTotalLength, 9 + 9 + 7 + 7);
  EXPECT_NE(port->ConfigurationHandle, nullptr);
  ASSERT_NE(port->InterfaceInfo, nullptr);
  EXPECT_EQ(port->InterfaceInfo->NumberOfPipes, 2u);
  EXPECT_EQ(port->InterfaceInfo->Pipes[ReceivePipe].EndpointAddress, 0x81);
  EXPECT_EQ(port->InterfaceInfo->Pipes[TransmitPipe].EndpointAddress, 0x02);
  EXPECT_EQ(kemu::PoolBlocksInUse(kEs2u), 2u);              // the descriptor set and the interface information
  EXPECT_EQ(kemu::PoolBlocksInUse(kemu::Tag("USBD")), 0u);  // the select request was freed
  EXPECT_EQ(handset.SelectConfigurations(), 1);
}

TEST_F(UsbConfiguration, TheRolesFollowTheOrderOfTheEndpoints) {
  kemu::UsbHandset& handset = AddHandset(u"COM5", kemu::HandsetDescriptorsWithEndpoints({0x02, 0x81}));
  PortExtension* port = Port(Attach(handset));
  EXPECT_EQ(port->InterfaceInfo->Pipes[ReceivePipe].EndpointAddress, 0x02);  // not detected
}

TEST_F(UsbConfiguration, ARestartReadsTheConfigurationAgainWithoutLeakingTheOld) {
  kemu::UsbHandset& handset = AddHandset();
  Attach(handset);
  ASSERT_EQ(Pnp(handset, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(handset.SelectConfigurations(), 2);
  EXPECT_EQ(kemu::PoolBlocksInUse(kEs2u), 2u);
}

TEST_F(UsbConfiguration, WaitsForRequestsTheBusCompletesLater) {
  kemu::UsbHandset& handset = AddHandset();
  handset.CompleteControlLater(true);
  PDEVICE_OBJECT fdo = Attach(handset);
  EXPECT_NE(Port(fdo)->InterfaceInfo, nullptr);
  OpenPort(fdo);
  EXPECT_EQ(handset.PipeResets(0), 1);
  EXPECT_EQ(Close(fdo), STATUS_SUCCESS);
}

struct ConfigurationFailure {
  Control which;
  NTSTATUS injected;
};

class ConfigurationFailures : public UsbConfiguration, public ::testing::WithParamInterface<ConfigurationFailure> {};

TEST_P(ConfigurationFailures, FailTheStartWithTheirStatus) {
  kemu::UsbHandset& handset = AddHandset();
  handset.FailControl(GetParam().which, GetParam().injected);
  EXPECT_EQ(Start(handset), GetParam().injected);
  EXPECT_NE(Port(FdoOf(handset))->PnpState, PnpStateStarted);
  EXPECT_EQ(Port(FdoOf(handset))->PendingRequestCount, 1);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(UsbConfiguration, ConfigurationFailures,
                         ::testing::Values(ConfigurationFailure{Control::DeviceDescriptor, STATUS_UNSUCCESSFUL},
                                           ConfigurationFailure{Control::ConfigurationHeader, STATUS_DEVICE_DATA_ERROR},
                                           ConfigurationFailure{Control::ConfigurationSet, STATUS_DEVICE_NOT_CONNECTED},
                                           ConfigurationFailure{Control::SelectConfiguration, STATUS_UNSUCCESSFUL}));

TEST_F(UsbConfiguration, PoolFailuresFailTheStart) {
  for (int skip : {0, 1}) {  // the descriptor set, then the interface information
    kemu::UsbHandset& handset = AddHandset();
    kemu::FailPoolAllocations({.tag = kEs2u, .skip = skip});
    EXPECT_EQ(Start(handset), STATUS_INSUFFICIENT_RESOURCES);
    Remove(handset);
  }
  kemu::UsbHandset& handset = AddHandset();
  kemu::FailPoolAllocations({.tag = kemu::Tag("USBD")});  // the select-configuration request
  EXPECT_EQ(Start(handset), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(UsbConfiguration, RefusesDescriptorsThatWouldLeadItAstray) {
  kemu::HandsetDescriptors tiny = kemu::DefaultHandsetDescriptors();
  tiny.configuration[2] = 4;  // wTotalLength shorter than the configuration descriptor itself
  tiny.configuration[3] = 0;
  EXPECT_EQ(Start(AddHandset(u"COM5", tiny)), STATUS_DEVICE_DATA_ERROR);

  kemu::HandsetDescriptors boasting = kemu::DefaultHandsetDescriptors();
  boasting.configuration[3] = 0xFF;  // claims far more than the device then sends
  kemu::UsbHandset& handset = AddHandset(u"COM6", boasting);
  EXPECT_EQ(Start(handset), STATUS_SUCCESS);
  EXPECT_EQ(Port(FdoOf(handset))->ConfigDescriptor->wTotalLength, 32);  // held to what came

  kemu::HandsetDescriptors noInterfaceZero = kemu::DefaultHandsetDescriptors();
  noInterfaceZero.configuration[9 + 2] = 1;  // bInterfaceNumber
  EXPECT_EQ(Start(AddHandset(u"COM8", noInterfaceZero)), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(UsbConfiguration, AnInterfaceWithOnePipeStartsAndReceivesButCannotSend) {
  kemu::UsbHandset& handset = AddHandset(u"COM5", kemu::HandsetDescriptorsWithEndpoints({0x81}));
  PDEVICE_OBJECT fdo = Attach(handset);
  PortExtension* port = Port(fdo);
  EXPECT_EQ(port->PnpState, PnpStateStarted);
  EXPECT_EQ(port->InterfaceInfo->NumberOfPipes, 1u);
  OpenPort(fdo);
  EXPECT_TRUE(handset.DeliverIn({'r'}));
  EXPECT_EQ(port->CharsInRing, 1u);
  // The transmit pipe is taken by index, and there is none to take.
  EXPECT_EQ(SendBulk(port, TransmitPipe, reinterpret_cast<const UCHAR*>("t"), 1), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ResetPipe(port, TransmitPipe), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(handset.OutTransfers().empty());
  EXPECT_EQ(Close(fdo), STATUS_SUCCESS);
}

TEST_F(UsbConfiguration, ResetPipeUsesItsOwnPoolBlockAndReportsFailure) {
  kemu::UsbHandset& handset = AddHandset();
  PortExtension* port = Port(Attach(handset));
  EXPECT_EQ(ResetPipe(port, TransmitPipe), STATUS_SUCCESS);
  EXPECT_EQ(handset.PipeResets(1), 1);
  EXPECT_EQ(ResetPipe(port, 2), STATUS_INVALID_DEVICE_STATE);
  handset.FailControl(Control::ResetPipe, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ResetPipe(port, ReceivePipe), STATUS_UNSUCCESSFUL);
  kemu::FailPoolAllocations({.tag = kEs2u});
  EXPECT_EQ(ResetPipe(port, ReceivePipe), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(kemu::PoolBlocksInUse(kEs2u), 2u);
}

}  // namespace
}  // namespace quenta
