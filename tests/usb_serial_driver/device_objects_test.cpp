// Driver entry and device objects: the dispatch table, AddDevice and its names and numbers,
// the initial state of a port, and unload.
#include "device_objects.h"
#include "driver_entry.h"
#include "driver_fixture.h"

namespace quenta {
namespace {

using DeviceObjects = DriverTest;

TEST_F(DeviceObjects, DriverEntryFillsTheDispatchTableAndLeavesTheRestToTheSystem) {
  EXPECT_NE(driver_->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(driver_->DriverUnload, nullptr);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_POWER, IRP_MJ_PNP})
    EXPECT_NE(driver_->MajorFunction[major], driver_->MajorFunction[IRP_MJ_QUERY_INFORMATION]) << int(major);
  PDEVICE_OBJECT fdo = AttachHandset();
  EXPECT_EQ(Run(kemu::Request::Other(fdo, IRP_MJ_QUERY_INFORMATION)), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Run(kemu::Request::Other(fdo, IRP_MJ_SYSTEM_CONTROL)), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DeviceObjects, DriverEntryFailsWhenTheRegistryPathCannotBeCopied) {
  kemu::UnloadDriver(driver_);
  driver_ = nullptr;
  kemu::FailPoolAllocations({.tag = kComx});
  NTSTATUS status;
  EXPECT_EQ(kemu::LoadDriver(DriverEntry, u"Quenta", &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(kemu::Problems().empty());
}

TEST_F(DeviceObjects, UnloadFreesTheRegistryPathAndSaysSo) {
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 1u);
  kemu::UnloadDriver(driver_);
  driver_ = nullptr;
  EXPECT_EQ(kemu::PoolBlocksInUse(), 0u);
  EXPECT_TRUE(Logged("Driver Unloaded !\n"));
}

TEST_F(DeviceObjects, AddDeviceWithoutAPhysicalDeviceFails) {
  EXPECT_EQ(driver_->DriverExtension->AddDevice(driver_, nullptr), STATUS_NO_MORE_ENTRIES);
}

TEST_F(DeviceObjects, AddDeviceCreatesASerialPortDeviceOnTopOfTheStack) {
  kemu::UsbHandset& handset = AddHandset();
  ASSERT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = FdoOf(handset);
  PortExtension* port = Port(fdo);
  EXPECT_EQ(kemu::DeviceName(fdo), u"\\Device\\tavrinusb0");
  EXPECT_EQ(fdo->DeviceType, FILE_DEVICE_SERIAL_PORT);
  EXPECT_EQ(fdo->Characteristics, FILE_DEVICE_SECURE_OPEN);
  EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
  EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(port->LowerDeviceObject, handset.Pdo());
  EXPECT_EQ(port->PhysicalDeviceObject, handset.Pdo());
  EXPECT_EQ(port->DeviceObject, fdo);
  EXPECT_EQ(port->DriverObject, driver_);
  EXPECT_EQ(std::u16string(port->ValueName.Buffer, port->ValueName.Length / 2), u"\\Device\\tavrinusb0");
  EXPECT_EQ(port->ValueName.MaximumLength, port->ValueName.Length + 2);
  EXPECT_EQ(port->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(port->TxFifoAmount, 1u);
  EXPECT_EQ(port->OwnsPowerPolicy, TRUE);
  EXPECT_EQ(port->PendingRequestCount, 1);
  EXPECT_EQ(port->PendingDpcCount, 1);
  EXPECT_EQ(port->PortOpen, FALSE);
  EXPECT_TRUE(IsListEmpty(&port->StallQueue) && IsListEmpty(&port->ReadQueue) && IsListEmpty(&port->WriteQueue) &&
              IsListEmpty(&port->MaskQueue) && IsListEmpty(&port->PurgeQueue));
  EXPECT_EQ(KeReadStateEvent(&port->RxIdleEvent), 1);
  EXPECT_EQ(KeReadStateEvent(&port->TxIdleEvent), 1);
  EXPECT_EQ(KeReadStateEvent(&port->PendingRequestsDone), 0);
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 2u);  // the registry path and ValueName; the name buffer is gone
}

TEST_F(DeviceObjects, DevicesTakeTheLowestFreeNumber) {
  PDEVICE_OBJECT first = AttachHandset();
  kemu::UsbHandset& second = AddHandset(u"COM6");
  PDEVICE_OBJECT secondFdo = Attach(second);
  EXPECT_EQ(Port(first)->DeviceNumber, 0u);
  EXPECT_EQ(kemu::DeviceName(secondFdo), u"\\Device\\tavrinusb1");
  Remove(*handsets_[0]);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0x2u);
  PDEVICE_OBJECT third = Attach(AddHandset(u"COM7"));
  EXPECT_EQ(kemu::DeviceName(third), u"\\Device\\tavrinusb0");
}

TEST_F(DeviceObjects, TheThirtyThirdDeviceGetsNumberZeroAgainAndItsCreationFails) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(kemu::AddDevice(driver_, AddHandset(u"").Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0xFFFFFFFFu);
  kemu::UsbHandset& extra = AddHandset(u"");
  EXPECT_EQ(kemu::AddDevice(driver_, extra.Pdo()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(extra.Pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0xFFFFFFFFu);  // device 0 keeps its number
  EXPECT_TRUE(kemu::DeviceNameExists(u"\\Device\\tavrinusb0"));
}

TEST_F(DeviceObjects, OpenCloseAndCleanupNeverGiveTheNumberBack) {
  PDEVICE_OBJECT fdo = AttachHandset();
  OpenPort(fdo);
  EXPECT_EQ(Cleanup(fdo), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo), STATUS_SUCCESS);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0x1u);
  // A second handset must not be given the number of the one that still exists.
  EXPECT_EQ(kemu::DeviceName(AttachHandset()), u"\\Device\\tavrinusb1");
}

TEST_F(DeviceObjects, AFailedCreationLeavesNoDeviceAndNoNumberBehind) {
  kemu::UsbHandset& handset = AddHandset();
  kemu::FailCall("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0u);

  kemu::FailPoolAllocations({.tag = kComx, .skip = 1});  // the name buffer succeeds, ValueName fails
  EXPECT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0u);
  EXPECT_FALSE(kemu::DeviceNameExists(u"\\Device\\tavrinusb0"));
  EXPECT_EQ(kemu::PoolBlocksInUse(kComx), 1u);  // only the driver's registry path

  kemu::FailPoolAllocations({.tag = kComx});  // the name buffer
  EXPECT_EQ(kemu::AddDevice(driver_, handset.Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ULONG(DeviceNumberMap), 0u);
}

}  // namespace
}  // namespace quenta
