// The simulated handset, what a test does with it: failures to inject, bytes to deliver, bulk-OUT
// transfers to complete, the device coming and going, and what it has seen.
#include "usb_handset.h"

#include <algorithm>

#include "emulation_private.h"

namespace kemu {

using namespace detail;

void UsbHandset::FailControl(Control which, NTSTATUS status, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.push_back(Failure{which, status, count});
}

void UsbHandset::CompleteControlLater(bool later) {
  std::lock_guard<std::mutex> lock(mutex_);
  controlLater_ = later;
}

void UsbHandset::SetPortStatus(ULONG flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  portStatus_ = flags;
}

int UsbHandset::DescriptorRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return descriptorRequests_;
}

int UsbHandset::SelectConfigurations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selectConfigurations_;
}

int UsbHandset::PipeResets(size_t pipe) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipe < pipeResets_.size() ? pipeResets_[pipe] : 0;
}

int UsbHandset::PipeAborts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipeAborts_;
}

int UsbHandset::PortResets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return portResets_;
}

size_t UsbHandset::PendingIn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingIn_.size();
}

size_t UsbHandset::PendingOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingOut_.size();
}

ULONG UsbHandset::LastRequestedInLength() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastInLength_;
}

PIRP UsbHandset::TakePending(std::deque<PIRP>& queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    // A request whose cancel routine is already on its way belongs to that routine.
    if (!IoSetCancelRoutine(*it, nullptr)) continue;
    PIRP irp = *it;
    queue.erase(it);
    outSerials_.erase(irp);
    return irp;
  }
  return nullptr;
}

bool UsbHandset::CompleteIn(const std::vector<UCHAR>& bytes, NTSTATUS status, USBD_STATUS urbStatus,
                            const std::function<void()>& claimed) {
  PIRP irp = TakePending(pendingIn_);
  if (!irp) return false;
  if (claimed) claimed();
  auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
  ULONG count = std::min<ULONG>(ULONG(bytes.size()), transfer.TransferBufferLength);
  if (count) memcpy(transfer.TransferBuffer, bytes.data(), count);
  transfer.TransferBufferLength = count;
  UrbOf(irp)->UrbHeader.Status = urbStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  CompleteAtDispatch(irp);
  return true;
}

void UsbHandset::SetOutCompletesLater(bool later) {
  std::lock_guard<std::mutex> lock(mutex_);
  outLater_ = later;
}

void UsbHandset::CompleteOutIrp(PIRP irp, NTSTATUS status, USBD_STATUS urbStatus, std::optional<ULONG> count) {
  UrbOf(irp)->UrbHeader.Status = urbStatus;
  if (count) UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = *count;
  irp->IoStatus.Status = status;
  CompleteAtDispatch(irp);
}

bool UsbHandset::CompleteOut(NTSTATUS status, USBD_STATUS urbStatus, std::optional<ULONG> count) {
  PIRP irp = TakePending(pendingOut_);
  if (!irp) return false;
  CompleteOutIrp(irp, status, urbStatus, count);
  return true;
}

void UsbHandset::SetTransferHook(std::function<void()> hook) {
  std::unique_lock<std::mutex> lock(mutex_);
  transferHook_ = std::move(hook);
  hookReturned_.wait(lock, [this] { return hookCalls_ == 0; });
}

std::optional<UsbHandset::OutTransfer> UsbHandset::OldestPendingOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pendingOut_.empty()) return std::nullopt;
  // While it waits here the transfer, and the driver's buffer under it, stay untouched: a cancel
  // must take it out of the queue under this lock first.
  PIRP irp = pendingOut_.front();
  auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
  auto data = static_cast<const UCHAR*>(transfer.TransferBuffer);
  return OutTransfer{outSerials_.at(irp), std::vector<UCHAR>(data, data + transfer.TransferBufferLength)};
}

bool UsbHandset::CompleteOutTransfer(uint64_t serial, const std::function<void()>& claimed) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(pendingOut_.begin(), pendingOut_.end(),
                           [&](PIRP pending) { return outSerials_.at(pending) == serial; });
    // A transfer whose cancel routine is already on its way belongs to that routine.
    if (it == pendingOut_.end() || !IoSetCancelRoutine(*it, nullptr)) return false;
    irp = *it;
    pendingOut_.erase(it);
    outSerials_.erase(irp);
  }
  if (claimed) claimed();
  CompleteOutIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
  return true;
}

void UsbHandset::KeepOutTransfers(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepOutTransfers_ = keep;
}

std::vector<std::vector<UCHAR>> UsbHandset::OutTransfers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outTransfers_;
}

void UsbHandset::FailNextSubmission(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextSubmissionFailure_ = status;
}

void UsbHandset::Stall(size_t pipe) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pipe < pipes_.size()) pipes_[pipe]->halted = true;
}

void UsbHandset::SetCancelMode(CancelMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelMode_ = mode;
}

size_t UsbHandset::CompleteIgnoredCancels() {
  std::deque<PIRP> ignored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ignored.swap(ignoredCancels_);
  }
  for (PIRP irp : ignored) CompleteAtDispatch(irp);
  return ignored.size();
}

void UsbHandset::Unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  plugged_ = false;
  portStatus_ = 0;
}

bool UsbHandset::Plugged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return plugged_;
}

void UsbHandset::SetCapabilities(const DEVICE_CAPABILITIES& capabilities) {
  std::lock_guard<std::mutex> lock(mutex_);
  capabilities_ = capabilities;
}

void UsbHandset::FailRequest(UCHAR major, UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  requestFailures_.push_back(RequestFailure{major, minor, status});
}

DEVICE_POWER_STATE UsbHandset::PowerState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return powerState_;
}

std::vector<UCHAR> UsbHandset::PnpRequestsSeen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pnpSeen_;
}

bool UsbHandset::WaitWakePending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waitWake_ != nullptr;
}

bool UsbHandset::Wake(NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    irp = waitWake_;
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return false;
    waitWake_ = nullptr;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  CompleteAtDispatch(irp);
  return true;
}

}  // namespace kemu
