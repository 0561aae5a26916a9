// The simulated handset, its bus side: descriptor, configuration, pipe and port requests, and the
// bulk transfers it keeps pending, completes, cancels and aborts.
#include "usb_handset.h"

#include <algorithm>

#include "emulation_private.h"

namespace kemu {

using namespace detail;

namespace {

constexpr USBD_STATUS kInvalidPipeHandle = (USBD_STATUS)0x80000600u;
constexpr USBD_STATUS kRequestFailed = (USBD_STATUS)0x80000500u;

}  // namespace

std::optional<NTSTATUS> UsbHandset::TakeFailure(Control which) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->which != which) continue;
    NTSTATUS status = it->status;
    if (--it->count == 0) failures_.erase(it);
    return status;
  }
  return std::nullopt;
}

NTSTATUS UsbHandset::Finish(PIRP irp, NTSTATUS status, USBD_STATUS urbStatus, bool later) {
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    UrbOf(irp)->UrbHeader.Status = urbStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  if (!later) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  Defer(DISPATCH_LEVEL, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  return STATUS_PENDING;
}

UsbHandset::Pipe* UsbHandset::FindPipe(USBD_PIPE_HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& pipe : pipes_)
    if (pipe.get() == handle) return pipe.get();
  return nullptr;
}

NTSTATUS UsbHandset::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  auto self = static_cast<UsbHandset*>(device->DeviceExtension);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  bool later;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    later = self->controlLater_;
  }
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return self->HandleUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      if (auto failure = self->TakeFailure(Control::PortStatus)) return self->Finish(irp, *failure, 0, later);
      std::lock_guard<std::mutex> lock(self->mutex_);
      *static_cast<PULONG>(location->Parameters.Others.Argument1) = self->portStatus_;
      break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      if (auto failure = self->TakeFailure(Control::ResetPort)) return self->Finish(irp, *failure, 0, later);
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->portResets_++;
      if (self->plugged_) self->portStatus_ |= USBD_PORT_ENABLED;
      break;
    }
    default:
      return self->Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0, false);
  }
  return self->Finish(irp, STATUS_SUCCESS, 0, later);
}

NTSTATUS UsbHandset::HandleUrb(PIRP irp, PURB urb) {
  bool later, plugged;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    later = controlLater_;
    plugged = plugged_;
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& request = urb->UrbControlDescriptorRequest;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        descriptorRequests_++;
      }
      bool device = request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE;
      Control which = device ? Control::DeviceDescriptor
                      : request.TransferBufferLength <= sizeof(USB_CONFIGURATION_DESCRIPTOR)
                          ? Control::ConfigurationHeader
                          : Control::ConfigurationSet;
      if (auto failure = TakeFailure(which)) return Finish(irp, *failure, kRequestFailed, later);
      if (!plugged) return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, later);
      const auto& source = device ? descriptors_.device : descriptors_.configuration;
      ULONG count = std::min<ULONG>(request.TransferBufferLength, ULONG(source.size()));
      memcpy(request.TransferBuffer, source.data(), count);
      request.TransferBufferLength = count;
      return Finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, later);
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      if (auto failure = TakeFailure(Control::SelectConfiguration)) return Finish(irp, *failure, kRequestFailed, later);
      NTSTATUS status = SelectConfiguration(urb);
      return Finish(irp, status, NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : kRequestFailed, later);
    }
    case URB_FUNCTION_RESET_PIPE: {
      Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
      if (!pipe) return Finish(irp, STATUS_INVALID_PARAMETER, kInvalidPipeHandle, later);
      if (auto failure = TakeFailure(Control::ResetPipe)) return Finish(irp, *failure, kRequestFailed, later);
      if (!plugged) return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, later);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t index = size_t(std::find_if(pipes_.begin(), pipes_.end(), [pipe](auto& p) { return p.get() == pipe; }) -
                              pipes_.begin());
        pipeResets_[index]++;
        pipe->halted = false;
      }
      return Finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, later);
    }
    case URB_FUNCTION_ABORT_PIPE: {
      Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
      if (!pipe) return Finish(irp, STATUS_INVALID_PARAMETER, kInvalidPipeHandle, later);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pipeAborts_++;
      }
      if (auto failure = TakeFailure(Control::AbortPipe)) return Finish(irp, *failure, kRequestFailed, later);
      AbortPipe(pipe);
      return Finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, later);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return HandleBulk(irp, urb);
    default:
      return Finish(irp, STATUS_NOT_SUPPORTED, kRequestFailed, false);
  }
}

NTSTATUS UsbHandset::SelectConfiguration(PURB urb) {
  std::lock_guard<std::mutex> lock(mutex_);
  selectConfigurations_++;
  const auto& bytes = descriptors_.configuration;
  auto position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  auto end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  while (position < end) {
    auto information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
    if (information->Length < sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION)) break;
    // The endpoints that follow the matching interface descriptor, in order.
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    for (size_t offset = 0; offset + 2 <= bytes.size() && bytes[offset] >= 2; offset += bytes[offset]) {
      UCHAR type = bytes[offset + 1];
      if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (found) break;
        auto interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&bytes[offset]);
        if (interface->bInterfaceNumber == information->InterfaceNumber &&
            interface->bAlternateSetting == information->AlternateSetting)
          found = interface;
      } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && found) {
        endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&bytes[offset]));
      }
    }
    if (!found || endpoints.size() != information->NumberOfPipes) return STATUS_INVALID_PARAMETER;
    information->Class = found->bInterfaceClass;
    information->SubClass = found->bInterfaceSubClass;
    information->Protocol = found->bInterfaceProtocol;
    information->InterfaceHandle = this;
    for (size_t i = 0; i < endpoints.size(); ++i) {
      Pipe* pipe = nullptr;
      for (auto& existing : pipes_)
        if (existing->endpoint == endpoints[i]->bEndpointAddress) pipe = existing.get();
      if (!pipe) {
        pipes_.push_back(
            std::make_unique<Pipe>(Pipe{endpoints[i]->bEndpointAddress, (endpoints[i]->bEndpointAddress & 0x80) != 0}));
        pipeResets_.push_back(0);
        pipe = pipes_.back().get();
      }
      auto& out = information->Pipes[i];
      out.EndpointAddress = endpoints[i]->bEndpointAddress;
      out.MaximumPacketSize = endpoints[i]->wMaxPacketSize;
      out.Interval = endpoints[i]->bInterval;
      out.PipeType = USBD_PIPE_TYPE(endpoints[i]->bmAttributes & 3);
      out.PipeHandle = pipe;
    }
    position += information->Length;
  }
  urb->UrbSelectConfiguration.ConfigurationHandle = &descriptors_;
  return STATUS_SUCCESS;
}

NTSTATUS UsbHandset::HandleBulk(PIRP irp, PURB urb) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  Pipe* pipe = FindPipe(transfer.PipeHandle);
  if (!pipe) return Finish(irp, STATUS_INVALID_PARAMETER, kInvalidPipeHandle, false);
  std::unique_lock<std::mutex> lock(mutex_);
  if (nextSubmissionFailure_) {
    NTSTATUS status = *nextSubmissionFailure_;
    nextSubmissionFailure_.reset();
    lock.unlock();
    return Finish(irp, status, USBD_STATUS_DEV_NOT_RESPONDING, false);
  }
  if (!plugged_) {
    lock.unlock();
    return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, false);
  }
  if (pipe->halted) {
    lock.unlock();
    return Finish(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false);
  }
  // The pipe, not the transfer flags, decides the direction, as on a real bus.
  std::deque<PIRP>* queue;
  if (pipe->in) {
    lastInLength_ = transfer.TransferBufferLength;
    queue = &pendingIn_;
  } else {
    auto data = static_cast<const UCHAR*>(transfer.TransferBuffer);
    if (keepOutTransfers_) outTransfers_.emplace_back(data, data + transfer.TransferBufferLength);
    if (!outLater_) {
      lock.unlock();
      return Finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, false);
    }
    outSerials_[irp] = nextOutSerial_++;
    queue = &pendingOut_;
  }
  IoMarkIrpPending(irp);
  queue->push_back(irp);
  IoSetCancelRoutine(irp, CancelTransfer);
  if (CancelledBeforeQueued(irp)) {
    queue->erase(std::find(queue->begin(), queue->end(), irp));
    outSerials_.erase(irp);
    lock.unlock();
    UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    CompleteAtDispatch(irp);
    return STATUS_PENDING;
  }
  if (!transferHook_) return STATUS_PENDING;
  std::function<void()> hook = transferHook_;
  hookCalls_++;
  lock.unlock();
  hook();
  lock.lock();
  if (--hookCalls_ == 0) hookReturned_.notify_all();
  return STATUS_PENDING;
}

void UsbHandset::CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
  auto self = static_cast<UsbHandset*>(device->DeviceExtension);
  CancelMode mode;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    bool found = false;
    for (auto* queue : {&self->pendingIn_, &self->pendingOut_}) {
      auto it = std::find(queue->begin(), queue->end(), irp);
      if (it == queue->end()) continue;
      queue->erase(it);
      self->outSerials_.erase(irp);
      found = true;
    }
    if (!found) kemu::Bugcheck("the bus was asked to cancel a transfer it does not hold");
    mode = self->cancelMode_;
    if (mode == CancelMode::Ignored) self->ignoredCancels_.push_back(irp);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
  UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  irp->IoStatus.Status = STATUS_CANCELLED;
  if (mode == CancelMode::Inside) CompleteAtDispatch(irp);
  if (mode == CancelMode::Deferred) Defer(DISPATCH_LEVEL, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

void UsbHandset::AbortPipe(Pipe* pipe) {
  std::vector<PIRP> aborted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto* queue : {&pendingIn_, &pendingOut_}) {
      for (auto it = queue->begin(); it != queue->end();) {
        if (UrbOf(*it)->UrbBulkOrInterruptTransfer.PipeHandle == pipe && IoSetCancelRoutine(*it, nullptr)) {
          aborted.push_back(*it);
          outSerials_.erase(*it);
          it = queue->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  for (PIRP irp : aborted) {
    UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
    UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    CompleteAtDispatch(irp);
  }
}

}  // namespace kemu
