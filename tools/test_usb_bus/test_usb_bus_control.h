// The test USB bus's control device, shared by the bus driver and the user-mode relay that
// carries a handset's bytes: each open handle of "\\.\TestUsbBus" can plug in one handset,
// exchange its bulk bytes, arm a fault on its transfers and pull it out again. Closing the
// handle pulls the handset out as well.
#pragma once

// "\Device\TestUsbBus", reached from user mode as "\\.\TestUsbBus".
#define TEST_USB_BUS_DEVICE_NAME L"\\Device\\TestUsbBus"
#define TEST_USB_BUS_LINK_NAME L"\\DosDevices\\TestUsbBus"
#define TEST_USB_BUS_USER_PATH "\\\\.\\TestUsbBus"

// In: TestUsbBusPlug. A handset appears on the bus with USB instance ID "<Instance>". Fails
// with STATUS_DEVICE_BUSY while an earlier handset of that instance is still being removed, and
// with STATUS_DEVICE_NOT_READY before the bus has started: try again.
#define IOCTL_TEST_USB_BUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The handle's handset is pulled out now: its transfers fail as a removed device's do.
#define IOCTL_TEST_USB_BUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Out: bytes the driver sent on the bulk-OUT pipe, as many as fit; waits until there are some.
// The driver's transfer completes once all its bytes have been taken.
#define IOCTL_TEST_USB_BUS_TAKE_OUT CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: bytes from the handset for the bulk-IN pipe; completes once the driver has taken them all
// (while the driver reads nothing, the bytes wait in the handset, as on a real device).
#define IOCTL_TEST_USB_BUS_GIVE_IN CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: TestUsbBusFault. Arms one fault; the last one armed replaces any other.
#define IOCTL_TEST_USB_BUS_FAULT CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct TestUsbBusPlug {
  ULONG Instance;
};

enum TestUsbBusFaultKind : ULONG {
  TestUsbBusNoFault = 0,
  TestUsbBusStall = 1,    // the transfer fails with a stalled endpoint, once
  TestUsbBusFail = 2,     // the transfer fails as a device that stopped answering, once
  TestUsbBusPullOut = 3,  // the handset is pulled out at that transfer
};

enum TestUsbBusDirection : ULONG {
  TestUsbBusIn = 0,   // bulk IN: handset to driver
  TestUsbBusOut = 1,  // bulk OUT: driver to handset
};

// The fault strikes the first transfer in that direction that is answered once at least
// AfterBytes bytes have passed in that direction since the handset was plugged in.
struct TestUsbBusFault {
  ULONG Kind;
  ULONG Direction;
  ULONG AfterBytes;
};
