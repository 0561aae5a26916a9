// The request gate in each plug-and-play state, the stall queue, the pending-request count and
// the device-error latch.
#include "driver_fixture.h"

namespace quenta {
namespace {

using kemu::Request;

class RequestGate : public AttachedPortTest {
 protected:
  Request Read() { return Request::Read(fdo_, 16); }
};

TEST_F(RequestGate, LetsRequestsThroughWhenNoFlagIsSet) {
  EXPECT_EQ(Run(Read()), STATUS_INVALID_DEVICE_REQUEST);  // through the gate; the port is not open
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestGate, RefusesAllButPlugAndPlayOnceARemovalIsPending) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateRemovePending);
  EXPECT_EQ(Run(Read()), STATUS_DELETE_PENDING);
  EXPECT_EQ(Run(Request::Write(fdo_, {1})), STATUS_DELETE_PENDING);
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);  // cleanup and close take it as success
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(Run(Read()), STATUS_INVALID_DEVICE_REQUEST);
  OpenPort(fdo_);  // the close that found no open counted nothing out
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(RequestGate, StallsRequestsWhileAStopIsPendingAndLetsTheCallerCancelThem) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  Request read = Read();
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  EXPECT_FALSE(read.Completed());
  EXPECT_EQ(port_->PendingRequestCount, 1);  // a stalled request holds no count
  EXPECT_TRUE(read.Cancel());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
  EXPECT_EQ(read.Boost(), IO_SERIAL_INCREMENT);
  EXPECT_TRUE(IsListEmpty(&port_->StallQueue));
  ASSERT_EQ(Pnp(*handset_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

TEST_F(RequestGate, ARequestAlreadyCancelledIsNotStalled) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  Request read = Read();
  EXPECT_FALSE(read.Cancel());  // nothing to cancel yet; the request is marked cancelled
  EXPECT_EQ(read.Send(), STATUS_CANCELLED);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

TEST_F(RequestGate, ACancelledStopLetsNewRequestsPassButKeepsTheStalledOnesUntilTheRestart) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  Request stalled = Read();
  ASSERT_EQ(stalled.Send(), STATUS_PENDING);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Run(Read()), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_FALSE(stalled.Completed());

  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(*handset_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(port_->PnpState, PnpStateStopped);
  EXPECT_EQ(Run(Read()), STATUS_INVALID_DEVICE_REQUEST);  // stopped only: requests go on
  EXPECT_EQ(Open(fdo_), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(stalled.Completed());

  ASSERT_EQ(kemu::StartDevice(handset_->Pdo()), STATUS_SUCCESS);
  ASSERT_TRUE(stalled.Completed());  // dispatched anew on the restart
  EXPECT_EQ(stalled.Status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(port_->PnpState, PnpStateStarted);
  EXPECT_EQ(port_->PnpFlags, 0u);
  // The count balances: removal's drain ends (a count left over would make it wait forever).
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestGate, AbortAllKillsTheStalledRequests) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  Request first = Read();
  Request second = Request::Write(fdo_, {1, 2});
  ASSERT_EQ(first.Send(), STATUS_PENDING);
  ASSERT_EQ(second.Send(), STATUS_PENDING);
  SurpriseRemove(*handset_);
  ASSERT_TRUE(first.Completed() && second.Completed());
  EXPECT_EQ(first.Status(), STATUS_CANCELLED);
  EXPECT_EQ(second.Status(), STATUS_CANCELLED);
  EXPECT_EQ(Run(Read()), STATUS_DELETE_PENDING);
  Remove(*handset_);
}

TEST_F(RequestGate, WhilePoweredDownStallsAllButPowerRequestsAndReleasesThemAtPowerUp) {
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_TRUE(port_->PnpFlags & PnpPoweredDown);
  Request read = Read();
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  EXPECT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
  ASSERT_EQ(kemu::SendDevicePower(handset_->Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_FALSE(port_->PnpFlags & PnpPoweredDown);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

TEST_F(RequestGate, PowerRequestsStallWhileAStopIsPending) {
  ASSERT_EQ(Pnp(*handset_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  bool done = false;
  auto callback = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    *static_cast<bool*>(context) = status->Status == STATUS_CANCELLED;
  };
  ASSERT_EQ(PoRequestPowerIrp(handset_->Pdo(), IRP_MN_QUERY_POWER, d2, callback, &done, nullptr), STATUS_PENDING);
  EXPECT_FALSE(done);
  Remove(*handset_);  // kills it, with PoStartNextPowerIrp
  EXPECT_TRUE(done);
}

TEST_F(RequestGate, TheDeviceErrorLatchCancelsEverythingButTheStatusQuery) {
  OpenPort(fdo_);
  ASSERT_TRUE(handset_->FailIn(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_TRUE(Logged("USB Bus device data error !\n"));
  EXPECT_TRUE(Logged("Abort hook read !\n"));
  EXPECT_EQ(handset_->PendingIn(), 0u);  // reception stops
  EXPECT_TRUE(port_->ErrorWord & DeviceErrorLatch);
  EXPECT_EQ(Run(Read()), STATUS_CANCELLED);
  EXPECT_EQ(Run(Request::Flush(fdo_)), STATUS_CANCELLED);
  EXPECT_EQ(Run(Request::DeviceControl(fdo_, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)), STATUS_CANCELLED);
  EXPECT_EQ(Run(Request::DeviceControl(fdo_, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20)), STATUS_SUCCESS);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
}

TEST_F(RequestGate, DeviceControlNeedsAnOpenPortBeforeTheGate) {
  EXPECT_EQ(Run(Request::DeviceControl(fdo_, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(port_->PendingRequestCount, 1);
}

}  // namespace
}  // namespace quenta
