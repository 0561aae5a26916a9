// The fixture every driver test runs in: a fresh emulated kernel with the driver loaded, helpers
// to attach simulated handsets and send requests, and the end-of-test checks (no pool leaked,
// no lock held, IRQL passive, every request completed, every device removed).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_controls.h"
#include "port_extension.h"
#include "usb_handset.h"

namespace quenta {

constexpr ULONG kComx = kemu::Tag("COMX");
constexpr ULONG kEs2u = kemu::Tag("Es2U");

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A handset on the bus whose hardware key names it portName (none when empty).
  kemu::UsbHandset& AddHandset(const std::u16string& portName = u"COM5",
                               kemu::HandsetDescriptors descriptors = kemu::DefaultHandsetDescriptors());
  // AddDevice and start; the device must start.
  PDEVICE_OBJECT Attach(kemu::UsbHandset& handset);
  // A handset named COM5, attached and started.
  PDEVICE_OBJECT AttachHandset() { return Attach(AddHandset()); }
  static PDEVICE_OBJECT FdoOf(kemu::UsbHandset& handset);
  static PortExtension* Port(PDEVICE_OBJECT fdo) { return PortOf(fdo); }

  // Sends the request and expects it to complete at once; returns its status.
  static NTSTATUS Run(kemu::Request request);
  static NTSTATUS Open(PDEVICE_OBJECT fdo, ULONG options = 0);
  static NTSTATUS Close(PDEVICE_OBJECT fdo);
  static NTSTATUS Cleanup(PDEVICE_OBJECT fdo);
  // Open, then the handset's bulk-IN transfer is the one the port keeps in flight.
  void OpenPort(PDEVICE_OBJECT fdo);

  static NTSTATUS Pnp(kemu::UsbHandset& handset, UCHAR minor) { return kemu::SendPnp(handset.Pdo(), minor); }
  // Removal as Windows does it after the last handle is closed.
  static void Remove(kemu::UsbHandset& handset);
  static void SurpriseRemove(kemu::UsbHandset& handset);

  static std::vector<UCHAR> RingBytes(PortExtension* port);
  static bool Logged(const std::string& line) { return kemu::CountDebugLines(line) > 0; }

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<kemu::UsbHandset>> handsets_;
};

// The fixture with one handset, named COM5, attached and started.
class AttachedPortTest : public DriverTest {
 protected:
  void SetUp() override;

  kemu::UsbHandset* handset_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PortExtension* port_ = nullptr;
};

}  // namespace quenta
