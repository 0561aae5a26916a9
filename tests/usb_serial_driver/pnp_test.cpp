// Plug and play: start, the query/cancel handshakes, stop and restart, surprise removal and
// removal, and the pending-request count through all of them.
#include "driver_fixture.h"
#include "device_objects.h"
#include "dpc_accounting.h"

namespace quenta {
namespace {

using PlugAndPlay = AttachedPortTest;

TEST_F(PlugAndPlay, StartConfiguresTheSerialSideAndNamesThePort) {
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(port_->PnpFlags, 0u);
  EXPECT_EQ(port_->DeviceStateFlags, DeviceStarted);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(port_->CurrentBaud, 115200u);
  EXPECT_EQ(port_->SupportedBauds, ULONG(SERIAL_BAUD_USER));
  EXPECT_EQ(port_->LineControl, 0x1A);
  EXPECT_EQ(port_->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(port_->SpecialChars.XoffChar, 0x13);
  EXPECT_EQ(port_->SpecialChars.EventChar, 0);
  EXPECT_EQ(port_->HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
  EXPECT_EQ(port_->HandFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
  EXPECT_EQ(port_->ShortIntervalAmount.QuadPart, -1);
  EXPECT_EQ(port_->LongIntervalAmount.QuadPart, -10000000);
  EXPECT_EQ(port_->CutOverAmount.QuadPart, 200000000);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  // The lower drivers started first; the capabilities came after the start.
  EXPECT_EQ(handset_->PnpRequestsSeen(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES}));
  EXPECT_EQ(port_->SystemToDeviceMap[PowerSystemWorking], ULONG(PowerDeviceD0));
  EXPECT_EQ(port_->SystemToDeviceMap[PowerSystemSleeping3], ULONG(PowerDeviceD2));
  EXPECT_EQ(port_->SystemToDeviceMap[PowerSystemShutdown], ULONG(PowerDeviceD3));
  EXPECT_EQ(port_->SystemWake, ULONG(PowerSystemSleeping3));
  EXPECT_EQ(port_->DeviceWake, ULONG(PowerDeviceD2));
}

TEST_F(PlugAndPlay, ACapabilitiesQueryTheLowerDriversRefuseLeavesThePowerDataAlone) {
  handset_->FailRequest(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kemu::QueryCapabilities(handset_->Pdo()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(port_->SystemToDeviceMap[PowerSystemSleeping3], ULONG(PowerDeviceD2));
  EXPECT_EQ(port_->DeviceWake, ULONG(PowerDeviceD2));
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(PlugAndPlay, AStartTheLowerDriversRefuseFails) {
  kemu::UsbHandset& handset = AddHandset(u"COM6");
  handset.FailRequest(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::SendPnp(handset.Pdo(), IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(handset.DescriptorRequests(), 0);
  EXPECT_EQ(Port(FdoOf(handset))->PendingRequestCount, 1);
}

TEST_F(PlugAndPlay, QueryStopIsRefusedWhileThePortIsOpen) {
  OpenPort(fdo_);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(port_->PnpFlags, 0u);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStopPending);
  EXPECT_EQ(port_->PnpFlags, PnpStopPending);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(port_->PnpFlags, 0u);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(PlugAndPlay, QueryRemoveIsRefusedWhileThePortIsOpen) {
  OpenPort(fdo_);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(port_->PnpFlags, 0u);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Open(fdo_), STATUS_INSUFFICIENT_RESOURCES);  // not started any more
  EXPECT_EQ(Pnp(*handset_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  OpenPort(fdo_);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

// A power-down marks the port closed to serial requests, but its handle stays open with a read
// waiting: a stop agreed to then would wait for that read forever.
TEST_F(PlugAndPlay, AfterAPowerCycleQueryStopAndQueryRemoveAreRefusedWhileTheHandleIsOpen) {
  OpenPort(fdo_);
  kemu::Request read = kemu::Request::Read(fdo_, 4);
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_EQ(port_->PortOpen, FALSE);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(port_->PnpFlags, 0u);
  EXPECT_FALSE(read.Completed());
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_TRUE(read.Completed());
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Pnp(*handset_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(PlugAndPlay, StopCancelsTheTimersAndDpcsAndARestartStartsAgain) {
  LARGE_INTEGER due;
  due.QuadPart = -10000;
  ArmTimer(port_, &port_->ReadTotalTimer, due, &port_->TotalReadTimeoutDpc);
  QueueDpc(port_, &port_->CompleteWriteDpc);
  EXPECT_EQ(port_->PendingDpcCount, 3);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStopped);
  EXPECT_EQ(port_->PnpFlags, PnpStopped);
  EXPECT_EQ(port_->DeviceStateFlags, DeviceStarted | DeviceStopped);
  EXPECT_EQ(kemu::ArmedTimerCount(), 0u);
  EXPECT_EQ(kemu::QueuedDpcCount(), 0u);
  EXPECT_EQ(port_->PendingDpcCount, 1);
  EXPECT_EQ(port_->PendingRequestCount, 1);

  ASSERT_EQ(kemu::StartDevice(handset_->Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(port_->DeviceStateFlags, DeviceStarted);
  EXPECT_EQ(port_->PnpFlags, 0u);
  OpenPort(fdo_);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(PlugAndPlay, SurpriseRemovalWithAReceivePendingAtTheBus) {
  OpenPort(fdo_);
  ASSERT_EQ(handset_->PendingIn(), 1u);
  SurpriseRemove(*handset_);
  EXPECT_EQ(handset_->PendingIn(), 0u);  // cancelled, and not restarted on the device that went
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
  EXPECT_EQ(handset_->PipeAborts(), 2);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(kemu::SerialCommValueCount(), 0u);
  EXPECT_EQ(port_->PnpFlags, PnpSurpriseRemoved);
  EXPECT_EQ(port_->PendingRequestCount, 1);  // exactly the initial count again
  EXPECT_EQ(Run(kemu::Request::Read(fdo_, 4)), STATUS_DELETE_PENDING);
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  Remove(*handset_);
  EXPECT_EQ(FdoOf(*handset_), nullptr);
  EXPECT_FALSE(kemu::DeviceNameExists(u"\\Device\\tavrinusb0"));
  EXPECT_EQ(ULONG(DeviceNumberMap), 0u);
  EXPECT_EQ(handset_->PipeAborts(), 2);  // not again after a surprise removal
}

TEST_F(PlugAndPlay, RemovalUndoesEverything) {
  Remove(*handset_);
  EXPECT_EQ(FdoOf(*handset_), nullptr);
  EXPECT_EQ(kemu::SymbolicLinkCount(), 0u);
  EXPECT_EQ(handset_->PipeAborts(), 2);
  EXPECT_EQ(kemu::PoolBlocksInUse(kEs2u), 0u);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 1u);  // the driver's registry path
  EXPECT_EQ(handset_->PnpRequestsSeen().back(), IRP_MN_REMOVE_DEVICE);
}

TEST_F(PlugAndPlay, RemovalFreesWhatACloseThatNeverCameWouldHaveFreed) {
  OpenPort(fdo_);
  Remove(*handset_);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 1u);
  EXPECT_EQ(kemu::IrpsInUse(), 0u);
}

TEST_F(PlugAndPlay, RemovalOfADeviceThatNeverStartedIsClean) {
  kemu::UsbHandset& handset = AddHandset(u"COM6");
  handset.FailControl(kemu::UsbHandset::Control::DeviceDescriptor, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::SendPnp(handset.Pdo(), IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
  Remove(handset);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0x1u);  // only the first handset's
}

TEST_F(PlugAndPlay, OtherRequestsPassDownUntouched) {
  EXPECT_EQ(Pnp(*handset_, 0x07 /* IRP_MN_QUERY_DEVICE_RELATIONS */), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(handset_->PnpRequestsSeen().back(), 0x07);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

}  // namespace
}  // namespace quenta
