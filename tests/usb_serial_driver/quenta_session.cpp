// quenta_session: one handset's life under the driver on the emulated kernel, told step by step
// (the demo). It plugs a handset in, shows the COM port the driver names, opens it, writes a
// command the handset receives over bulk-OUT, reads the handset's reply from bulk-IN with an
// interval time-out, closes the port, pulls the handset out, and ends with the kernel's checks.
// Exit status 0 when the world ends clean, 1 otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "driver_entry.h"
#include "test_controls.h"
#include "port_extension.h"
#include "usb_handset.h"

namespace {

std::string Text(const std::u16string& text) { return std::string(text.begin(), text.end()); }

const char* Result(NTSTATUS status) { return NT_SUCCESS(status) ? "success" : "failed"; }

void Say(const char* format, const std::string& text = {}) {
  printf(format, text.c_str());
  printf("\n");
}

}  // namespace

int main() {
  kemu::Reset();
  kemu::SetTimerResolution(kemu::kWindowsClockTick);
  PDRIVER_OBJECT driver = kemu::LoadDriver(DriverEntry, u"Quenta");
  int problems = 0;
  {
    kemu::UsbHandset handset;
    kemu::SetDeviceString(handset.Pdo(), u"PortName", u"COM5");
    Say("handset plugged in; its hardware key names it COM5");
    kemu::AddDevice(driver, handset.Pdo());
    PDEVICE_OBJECT fdo = handset.Pdo()->AttachedDevice;
    Say("AddDevice: %s", Text(kemu::DeviceName(fdo)));
    Say("start: %s", Result(kemu::StartDevice(handset.Pdo())));
    quenta::PortExtension* port = quenta::PortOf(fdo);
    printf("  USB configuration selected: interface 0, pipe 0 = endpoint 0x%02X, pipe 1 = endpoint 0x%02X\n",
           port->InterfaceInfo->Pipes[0].EndpointAddress, port->InterfaceInfo->Pipes[1].EndpointAddress);
    Say("  \\DosDevices\\COM5 -> %s", Text(kemu::SymbolicLinkTarget(u"\\DosDevices\\COM5").value_or(u"(none)")));
    Say("  SERIALCOMM \\Device\\tavrinusb0 = %s",
        Text(kemu::SerialCommValue(u"\\Device\\tavrinusb0").value_or(u"(none)")));

    Say("open COM5: %s", Result(kemu::Request::Create(fdo).Send()));
    printf("  receive ring of %u bytes; one bulk-IN transfer of %u bytes in flight\n", port->RingSize,
           handset.LastRequestedInLength());
    SERIAL_TIMEOUTS timeouts = {20, 0, 0, 0, 500};  // a read ends 20 ms after the last byte
    std::vector<UCHAR> timeoutBytes(reinterpret_cast<UCHAR*>(&timeouts),
                                    reinterpret_cast<UCHAR*>(&timeouts) + sizeof timeouts);
    Say("SetCommTimeouts (interval 20 ms, write 500 ms): %s",
        Result(kemu::Request::DeviceControl(fdo, IOCTL_SERIAL_SET_TIMEOUTS, timeoutBytes, 0).Send()));

    kemu::Request write = kemu::Request::Write(fdo, {'A', 'T', '\r'});
    write.Send();
    kemu::RunUntilIdle();
    printf("write \"AT\\r\": %s, %lu bytes; the handset received over bulk-OUT:", Result(write.Status()),
           static_cast<unsigned long>(write.Information()));
    for (const auto& transfer : handset.OutTransfers())
      for (UCHAR byte : transfer) printf(" %02X", byte);
    printf("\n");

    kemu::Request read = kemu::Request::Read(fdo, 64);
    read.Send();
    printf("read of 64 bytes: waiting (%s)\n", read.Completed() ? "completed" : "pending");
    handset.DeliverIn({'O', 'K', '\r', '\n'});
    printf("handset sends \"OK\\r\\n\" over bulk-IN: the bytes go straight into the waiting read\n");
    kemu::RunUntil([&read] { return read.Completed(); }, "the read");
    std::vector<UCHAR> reply = read.Output();
    printf("read: %s after the 20 ms gap (time-out, a success to ReadFile), %lu bytes:",
           read.Status() == STATUS_TIMEOUT ? "STATUS_TIMEOUT" : Result(read.Status()),
           static_cast<unsigned long>(read.Information()));
    for (ULONG_PTR i = 0; i < read.Information(); ++i) printf(" %02X", reply[i]);
    printf("\n");
    Say("close COM5: %s", Result(kemu::Request::Close(fdo).Send()));

    handset.Unplug();
    Say("handset pulled out; surprise removal: %s", Result(kemu::SendPnp(handset.Pdo(), IRP_MN_SURPRISE_REMOVAL)));
    Say("removal: %s", Result(kemu::SendPnp(handset.Pdo(), IRP_MN_REMOVE_DEVICE)));
    printf("  symbolic links left: %zu, SERIALCOMM entries left: %zu\n", kemu::SymbolicLinkCount(),
           kemu::SerialCommValueCount());
    kemu::UnloadDriver(driver);

    printf("the driver's debugger output:\n");
    for (const std::string& line : kemu::DebugLog()) printf("  %s", line.c_str());
    for (const std::string& problem : kemu::Problems()) {
      printf("problem: %s\n", problem.c_str());
      ++problems;
    }
    if (!problems) printf("the kernel's checks: no pool leaked, no lock held, every request completed\n");
  }
  kemu::Reset();
  return problems ? 1 : 0;
}
