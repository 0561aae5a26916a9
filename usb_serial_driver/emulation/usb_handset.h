// A simulated USB bus under the driver, with one handset on it: the physical device object and
// its driver. It answers descriptor and select-configuration requests from configurable
// descriptors, keeps bulk-IN transfers pending until the test delivers bytes, records bulk-OUT
// transfers and completes them at once or on command, and can fail, stall, reset and abort on
// demand. Plug-and-play and power requests that reach it succeed; a wait-wake request stays
// pending until the test wakes the device or it is cancelled.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "test_controls.h"

namespace kemu {

struct HandsetDescriptors {
  std::vector<UCHAR> device;         // 18 bytes
  std::vector<UCHAR> configuration;  // the whole set: configuration, interfaces, endpoints
};

// Vendor 0x1234, product 0x5678; interface 0 with endpoints 0x81 (bulk IN) then 0x02 (bulk OUT).
HandsetDescriptors DefaultHandsetDescriptors();
// The same with the endpoints listed in the order given (each an address; bit 7 set = IN).
HandsetDescriptors HandsetDescriptorsWithEndpoints(const std::vector<UCHAR>& endpoints);

class UsbHandset {
 public:
  // Which request fails when asked to.
  enum class Control {
    DeviceDescriptor,
    ConfigurationHeader,
    ConfigurationSet,
    SelectConfiguration,
    ResetPipe,
    AbortPipe,
    PortStatus,
    ResetPort
  };
  // What the bus does with a cancelled transfer: complete it inside the cancel routine, later
  // (as deferred work), or not at all until CompleteIgnoredCancels.
  enum class CancelMode { Inside, Deferred, Ignored };

  explicit UsbHandset(HandsetDescriptors descriptors = DefaultHandsetDescriptors());
  ~UsbHandset();
  UsbHandset(const UsbHandset&) = delete;
  UsbHandset& operator=(const UsbHandset&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }

  // Control requests
  void FailControl(Control which, NTSTATUS status, int count = 1);
  void CompleteControlLater(bool later);  // control requests complete as deferred work
  void SetPortStatus(ULONG flags);
  int DescriptorRequests() const;
  int SelectConfigurations() const;
  int PipeResets(size_t pipe) const;
  int PipeAborts() const;
  int PortResets() const;

  // Bulk transfers
  size_t PendingIn() const;
  size_t PendingOut() const;
  // Each of these completes the oldest pending transfer of its direction at DISPATCH_LEVEL on
  // the calling thread, and answers false when none is pending.
  // The bulk-IN transfer gets these bytes (a short or zero-length packet when fewer than asked;
  // bytes beyond what it asked for are not delivered) with these statuses.
  // `claimed`, when given, runs once the transfer is taken and before it completes.
  bool CompleteIn(const std::vector<UCHAR>& bytes, NTSTATUS status, USBD_STATUS urbStatus,
                  const std::function<void()>& claimed = {});
  bool DeliverIn(const std::vector<UCHAR>& bytes, const std::function<void()>& claimed = {}) {
    return CompleteIn(bytes, STATUS_SUCCESS, USBD_STATUS_SUCCESS, claimed);
  }
  bool FailIn(NTSTATUS status, USBD_STATUS urbStatus) { return CompleteIn({}, status, urbStatus); }
  // Bulk-OUT transfers stay pending until CompleteOut when later is set; otherwise the handset
  // accepts every byte at once, inside the driver's IoCallDriver.
  void SetOutCompletesLater(bool later);
  // count: the bytes reported accepted (any value, as a faulty bus might say); by default all.
  bool CompleteOut(NTSTATUS status = STATUS_SUCCESS, USBD_STATUS urbStatus = USBD_STATUS_SUCCESS,
                   std::optional<ULONG> count = std::nullopt);
  std::vector<std::vector<UCHAR>> OutTransfers() const;
  void FailNextSubmission(NTSTATUS status);  // the next bulk transfer fails inside IoCallDriver
  void Stall(size_t pipe);                   // transfers on the pipe fail until it is reset
  void SetCancelMode(CancelMode mode);
  size_t CompleteIgnoredCancels();
  ULONG LastRequestedInLength() const;

  // For a bridge that carries the pipes to a real byte stream instead of a test driving them.
  // The hook is called whenever a bulk transfer starts waiting in the bus, on the thread that
  // submitted it and at its IRQL, without the bus's lock held: it may only wake someone. Once
  // SetTransferHook returns, the hook it replaced is neither running nor called again (so it must
  // not be called from a hook).
  void SetTransferHook(std::function<void()> hook);
  // The oldest pending bulk-OUT transfer: its bytes and a serial number naming it.
  struct OutTransfer {
    uint64_t serial;
    std::vector<UCHAR> bytes;
  };
  std::optional<OutTransfer> OldestPendingOut() const;
  // Completes that transfer (every byte accepted); false when it is no longer pending (cancelled).
  // `claimed`, when given, runs once the transfer is taken and before it completes.
  bool CompleteOutTransfer(uint64_t serial, const std::function<void()>& claimed = {});
  // Whether OutTransfers() keeps a copy of every bulk-OUT payload (the default); a long-lived
  // bridge turns it off.
  void KeepOutTransfers(bool keep);

  // The device coming and going, power and wake
  void Unplug();  // later transfers fail as "device gone"; pending ones stay until aborted
  bool Plugged() const;
  void SetCapabilities(const DEVICE_CAPABILITIES& capabilities);
  // The next plug-and-play or power request with this major and minor function fails.
  void FailRequest(UCHAR major, UCHAR minor, NTSTATUS status);
  DEVICE_POWER_STATE PowerState() const;
  std::vector<UCHAR> PnpRequestsSeen() const;
  bool WaitWakePending() const;
  bool Wake(NTSTATUS status = STATUS_SUCCESS);

 private:
  struct Pipe {
    UCHAR endpoint;
    bool in;
    bool halted = false;
  };
  struct Failure {
    Control which;
    NTSTATUS status;
    int count;
  };

  static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static void CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
  static void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);

  NTSTATUS HandleUrb(PIRP irp, PURB urb);
  NTSTATUS HandleBulk(PIRP irp, PURB urb);
  NTSTATUS SelectConfiguration(PURB urb);
  void AbortPipe(Pipe* pipe);
  std::optional<NTSTATUS> TakeFailure(Control which);
  NTSTATUS Finish(PIRP irp, NTSTATUS status, USBD_STATUS urbStatus, bool atDispatch);
  PIRP TakePending(std::deque<PIRP>& queue);
  void CompleteOutIrp(PIRP irp, NTSTATUS status, USBD_STATUS urbStatus, std::optional<ULONG> count);
  Pipe* FindPipe(USBD_PIPE_HANDLE handle);

  HandsetDescriptors descriptors_;
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT pdo_;

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::deque<PIRP> pendingIn_;
  std::deque<PIRP> pendingOut_;
  std::deque<PIRP> ignoredCancels_;
  std::vector<std::vector<UCHAR>> outTransfers_;
  bool keepOutTransfers_ = true;
  std::function<void()> transferHook_;
  int hookCalls_ = 0;  // hooks running now
  std::condition_variable hookReturned_;
  // Each pending bulk-OUT transfer's serial number, given when it starts waiting.
  std::unordered_map<PIRP, uint64_t> outSerials_;
  uint64_t nextOutSerial_ = 1;
  std::vector<Failure> failures_;
  std::vector<int> pipeResets_;
  std::optional<NTSTATUS> nextSubmissionFailure_;
  bool controlLater_ = false;
  bool outLater_ = false;
  CancelMode cancelMode_ = CancelMode::Inside;
  bool plugged_ = true;
  ULONG portStatus_ = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
  int descriptorRequests_ = 0;
  int selectConfigurations_ = 0;
  int pipeAborts_ = 0;
  int portResets_ = 0;
  ULONG lastInLength_ = 0;
  DEVICE_CAPABILITIES capabilities_{};
  DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
  std::vector<UCHAR> pnpSeen_;
  struct RequestFailure {
    UCHAR major, minor;
    NTSTATUS status;
  };
  std::vector<RequestFailure> requestFailures_;
  std::optional<NTSTATUS> TakeRequestFailure(UCHAR major, UCHAR minor);
  PIRP waitWake_ = nullptr;
};

}  // namespace kemu
