#include "driver_fixture.h"

#include <cstddef>

#include "driver_entry.h"

namespace quenta {

void DriverTest::SetUp() {
  kemu::Reset();
  kemu::SetTimerResolution(kemu::kWindowsClockTick);
  kemu::NameExtensionLock(offsetof(PortExtension, ControlLock), "ControlLock");
  kemu::NameExtensionLock(offsetof(PortExtension, FlagsLock), "FlagsLock");
  kemu::NameExtensionLock(offsetof(PortExtension, ReceiveLock), "ReceiveLock");
  kemu::NameExtensionLock(offsetof(PortExtension, OpenMutex), "OpenMutex");
  kemu::NameExtensionLock(offsetof(PortExtension, CloseMutex), "CloseMutex");
  NTSTATUS status;
  driver_ = kemu::LoadDriver(DriverEntry, u"Quenta", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
}

void DriverTest::TearDown() {
  if (driver_) {
    kemu::StopThreads();
    kemu::RunUntilIdle();
    for (auto& handset : handsets_)
      if (handset->Pdo()->AttachedDevice) kemu::SendPnp(handset->Pdo(), IRP_MN_REMOVE_DEVICE);
    kemu::UnloadDriver(driver_);
    for (const std::string& problem : kemu::Problems()) ADD_FAILURE() << problem;
  }
  handsets_.clear();
  kemu::Reset();
}

kemu::UsbHandset& DriverTest::AddHandset(const std::u16string& portName, kemu::HandsetDescriptors descriptors) {
  handsets_.push_back(std::make_unique<kemu::UsbHandset>(std::move(descriptors)));
  kemu::UsbHandset& handset = *handsets_.back();
  if (!portName.empty()) kemu::SetDeviceString(handset.Pdo(), u"PortName", portName);
  return handset;
}

PDEVICE_OBJECT DriverTest::Attach(kemu::UsbHandset& handset) {
  EXPECT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(kemu::StartDevice(handset.Pdo()), STATUS_SUCCESS);
  return FdoOf(handset);
}

PDEVICE_OBJECT DriverTest::FdoOf(kemu::UsbHandset& handset) { return handset.Pdo()->AttachedDevice; }

NTSTATUS DriverTest::Run(kemu::Request request) {
  NTSTATUS status = request.Send();
  EXPECT_NE(status, STATUS_PENDING);
  return status;
}

NTSTATUS DriverTest::Open(PDEVICE_OBJECT fdo, ULONG options) { return Run(kemu::Request::Create(fdo, options)); }
NTSTATUS DriverTest::Close(PDEVICE_OBJECT fdo) { return Run(kemu::Request::Close(fdo)); }
NTSTATUS DriverTest::Cleanup(PDEVICE_OBJECT fdo) { return Run(kemu::Request::Cleanup(fdo)); }

void DriverTest::OpenPort(PDEVICE_OBJECT fdo) { ASSERT_EQ(Open(fdo), STATUS_SUCCESS); }

void DriverTest::Remove(kemu::UsbHandset& handset) { EXPECT_EQ(Pnp(handset, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS); }

void DriverTest::SurpriseRemove(kemu::UsbHandset& handset) {
  handset.Unplug();
  EXPECT_EQ(Pnp(handset, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
}

std::vector<UCHAR> DriverTest::RingBytes(PortExtension* port) {
  std::vector<UCHAR> bytes;
  PUCHAR position = port->FirstReadableChar;
  for (ULONG i = 0; i < port->CharsInRing; ++i) {
    bytes.push_back(*position);
    position = position == port->LastCharSlot ? port->RingBase : position + 1;
  }
  return bytes;
}

void AttachedPortTest::SetUp() {
  DriverTest::SetUp();
  handset_ = &AddHandset();
  fdo_ = Attach(*handset_);
  port_ = Port(fdo_);
}

}  // namespace quenta
