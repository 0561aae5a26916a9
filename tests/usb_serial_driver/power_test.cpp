// Power: device power down and up, the system power states mapped to device states, the power
// policy switch, and wait-wake.
#include "driver_fixture.h"

namespace quenta {
namespace {

using kemu::Request;

class Power : public AttachedPortTest {
 protected:
  NTSTATUS Device(DEVICE_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
    return kemu::SendDevicePower(handset_->Pdo(), minor, state);
  }
  NTSTATUS System(SYSTEM_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
    return kemu::SendSystemPower(handset_->Pdo(), minor, state);
  }
  NTSTATUS DeviceControl() { return Run(Request::DeviceControl(fdo_, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)); }
};

TEST_F(Power, PoweringDownClosesThePortToSerialRequestsUntilItIsOpenedAgain) {
  OpenPort(fdo_);
  EXPECT_EQ(DeviceControl(), STATUS_SUCCESS);
  ASSERT_EQ(Device(PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD3));  // D3 whatever the target
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD2);
  EXPECT_EQ(kemu::LastPoSetPowerState(fdo_), PowerDeviceD2);
  EXPECT_EQ(port_->PortOpen, FALSE);
  EXPECT_EQ(DeviceControl(), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(kemu::LastPoSetPowerState(fdo_), PowerDeviceD0);
  EXPECT_EQ(DeviceControl(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  OpenPort(fdo_);
  EXPECT_EQ(DeviceControl(), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, TheSameStateOrAnUnknownOnePassesDown) {
  ASSERT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_EQ(Device(PowerDeviceMaximum), STATUS_SUCCESS);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(port_->PnpFlags, 0u);
}

TEST_F(Power, AWakingSystemPowersTheDeviceUpEvenWithThePortClosed) {
  ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD2);  // the mapped state was asked for
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD3));
  // An open while asleep waits, and goes on when the system wakes and the device powers up.
  Request open = Request::Create(fdo_);
  ASSERT_EQ(open.Send(), STATUS_PENDING);
  ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD0);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  ASSERT_TRUE(open.Completed());
  EXPECT_EQ(open.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, TheDeepestSystemStatesMapLikeShutdown) {
  ASSERT_EQ(System(PowerSystemMaximum), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD3);
  ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_EQ(System(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD3);
  ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, WithThePolicyRelinquishedSystemRequestsPassDownUntouched) {
  kemu::UsbHandset& handset = AddHandset(u"COM6");
  kemu::SetDeviceDword(handset.Pdo(), u"UsbRelinquishPowerPolicy", 1);
  kemu::SetDeviceDword(handset.Pdo(), u"EnablePowerManagement", 1);
  PortExtension* port = Port(Attach(handset));
  EXPECT_EQ(port->OwnsPowerPolicy, FALSE);
  EXPECT_EQ(port->PowerManagementEnabled, TRUE);
  ASSERT_EQ(kemu::SendSystemPower(handset.Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(handset.PowerState(), PowerDeviceD0);
  EXPECT_EQ(port->DevicePowerState, ULONG(PowerDeviceD0));
}

TEST_F(Power, ASystemRequestTheLowerDriversRefuseStillCountsOut) {
  handset_->FailRequest(IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(System(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD0);
  EXPECT_EQ(port_->PendingRequestCount, 1);  // otherwise removal would wait forever
}

TEST_F(Power, ASystemRequestWhoseDeviceRequestCannotBeMadeFails) {
  kemu::FailPoolAllocations({.tag = kComx, .size = 2 * sizeof(void*)});
  EXPECT_EQ(System(PowerSystemSleeping1), STATUS_INSUFFICIENT_RESOURCES);
  kemu::FailCall("PoRequestPowerIrp", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(System(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD0);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, WaitWakeIsArmedAtPowerDownAndWakesTheDevice) {
  port_->WaitWakeEnabled = TRUE;
  ASSERT_EQ(Device(PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_TRUE(handset_->WaitWakePending());
  EXPECT_NE(port_->PendingWaitWakeIrp, nullptr);
  EXPECT_EQ(port_->PendingRequestCount, 2);  // the wait-wake request is counted in
  // While it is armed, a state deeper than DeviceWake is refused.
  EXPECT_EQ(System(PowerSystemHibernate), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Device(PowerDeviceD3, IRP_MN_QUERY_POWER), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Device(PowerDeviceD2, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  ASSERT_TRUE(handset_->Wake());
  EXPECT_EQ(port_->PendingWaitWakeIrp, nullptr);
  // The wake completes at DISPATCH_LEVEL; the power manager sends the D0 request from a worker.
  EXPECT_EQ(kemu::RunDeferred(), 1u);
  EXPECT_EQ(handset_->PowerState(), PowerDeviceD0);
  EXPECT_EQ(port_->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, CloseCancelsAPendingWaitWake) {
  OpenPort(fdo_);
  port_->WaitWakeEnabled = TRUE;
  ASSERT_EQ(Device(PowerDeviceD2), STATUS_SUCCESS);
  ASSERT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_TRUE(handset_->WaitWakePending());
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_FALSE(handset_->WaitWakePending());
  EXPECT_EQ(port_->PendingWaitWakeIrp, nullptr);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(Power, AStopCancelsAPendingWaitWakeAndTheNextPowerDownArmsItAgain) {
  port_->WaitWakeEnabled = TRUE;
  ASSERT_EQ(Device(PowerDeviceD2), STATUS_SUCCESS);
  ASSERT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_TRUE(handset_->WaitWakePending());
  ASSERT_EQ(kemu::SendPnp(handset_->Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kemu::SendPnp(handset_->Pdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(handset_->WaitWakePending());
  EXPECT_EQ(port_->PendingWaitWakeIrp, nullptr);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  ASSERT_EQ(kemu::StartDevice(handset_->Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(Device(PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_TRUE(handset_->WaitWakePending());
  ASSERT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
}

TEST_F(Power, WaitWakeIsNotArmedWhenTheDeviceCannotWakeTheSystem) {
  kemu::UsbHandset& handset = AddHandset(u"COM6");
  DEVICE_CAPABILITIES capabilities{};
  capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state)
    capabilities.DeviceState[state] = PowerDeviceD3;
  capabilities.SystemWake = PowerSystemWorking;
  capabilities.DeviceWake = PowerDeviceD2;
  handset.SetCapabilities(capabilities);
  PortExtension* port = Port(Attach(handset));
  port->WaitWakeEnabled = TRUE;
  ASSERT_EQ(kemu::SendDevicePower(handset.Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_FALSE(handset.WaitWakePending());
  EXPECT_EQ(port->PendingRequestCount, 1);
}

}  // namespace
}  // namespace quenta
