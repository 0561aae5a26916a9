// A simulated handset's USB side: its descriptors and configuration, the URBs it answers, its
// bulk pipes (bytes meet the relay's requests here) and the faults a test can ask for.
#include "bus.h"

namespace test_usb_bus {
namespace {

// VID 1234, PID 5678, revision 1.00, one configuration.
const UCHAR DeviceDescriptor[18] = {
    18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
// One interface (vendor class) with a bulk-IN endpoint 0x81 and then a bulk-OUT endpoint 0x02.
const UCHAR ConfigurationDescriptor[32] = {9,    USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                           32,   0,
                                           1,    1,
                                           0,    0x80,
                                           50,  //
                                           9,    USB_INTERFACE_DESCRIPTOR_TYPE,
                                           0,    0,
                                           2,    0xFF,
                                           0,    0,
                                           0,  //
                                           7,    USB_ENDPOINT_DESCRIPTOR_TYPE,
                                           0x81, USB_ENDPOINT_TYPE_BULK,
                                           64,   0,
                                           0,  //
                                           7,    USB_ENDPOINT_DESCRIPTOR_TYPE,
                                           0x02, USB_ENDPOINT_TYPE_BULK,
                                           64,   0,
                                           0};

USBD_PIPE_HANDLE PipeHandle(UCHAR& pipe) { return reinterpret_cast<USBD_PIPE_HANDLE>(&pipe); }

ULONG Smaller(ULONG_PTR a, ULONG_PTR b) { return ULONG(a < b ? a : b); }

void Finish(Completions& done, PIRP transfer, NTSTATUS status, USBD_STATUS urbStatus) {
  UrbOf(transfer)->UrbHeader.Status = urbStatus;
  Complete(done, transfer, status, 0);
}

bool FaultDue(const Handset& handset, ULONG direction) {
  if (handset.Armed.Kind == TestUsbBusNoFault || handset.Armed.Direction != direction) return false;
  return (direction == TestUsbBusIn ? handset.BytesIn : handset.BytesOut) >= handset.Armed.AfterBytes;
}

// The armed fault strikes transfer (already taken off its list).
void Strike(Handset& handset, PIRP transfer, Completions& done) {
  ULONG kind = handset.Armed.Kind;
  handset.Armed.Kind = TestUsbBusNoFault;
  const char* direction = handset.Armed.Direction == TestUsbBusIn ? "IN" : "OUT";
  switch (kind) {
    case TestUsbBusStall:
      DbgPrint("usbbus: handset %u: bulk %s stalls\n", handset.Instance, direction);
      Finish(done, transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      break;
    case TestUsbBusFail:
      DbgPrint("usbbus: handset %u: bulk %s fails\n", handset.Instance, direction);
      Finish(done, transfer, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
      break;
    default:
      DbgPrint("usbbus: handset %u: pulled out during bulk %s\n", handset.Instance, direction);
      Finish(done, transfer, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
      PullOut(handset, done);
      break;
  }
}

void FailAll(LIST_ENTRY& list, Completions& done) {
  while (PIRP irp = First(list)) {
    if (!Unpend(irp)) continue;
    if (PURB urb = UrbOf(irp)) urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    Complete(done, irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
}

void AbortPipe(LIST_ENTRY& list, Completions& done) {
  while (PIRP irp = First(list)) {
    if (Unpend(irp)) Finish(done, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  }
}

NTSTATUS GetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST& request) {
  const UCHAR* source;
  ULONG size;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
    source = DeviceDescriptor;
    size = sizeof(DeviceDescriptor);
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    source = ConfigurationDescriptor;
    size = sizeof(ConfigurationDescriptor);
  } else {
    request.Hdr.Status = USBD_STATUS_STALL_PID;
    return STATUS_UNSUCCESSFUL;
  }
  if (!request.TransferBuffer) return STATUS_INVALID_PARAMETER;
  ULONG length = Smaller(size, request.TransferBufferLength);
  RtlCopyMemory(request.TransferBuffer, source, length);
  request.TransferBufferLength = length;
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(Handset& handset, _URB_SELECT_CONFIGURATION& request) {
  if (!request.ConfigurationDescriptor) {
    DbgPrint("usbbus: handset %u: unconfigured\n", handset.Instance);
    return STATUS_SUCCESS;
  }
  PUSBD_INTERFACE_INFORMATION info = &request.Interface;
  const ULONG pipesAt = ULONG(reinterpret_cast<PUCHAR>(info->Pipes) - reinterpret_cast<PUCHAR>(info));
  const ULONG interfaceAt = ULONG(reinterpret_cast<PUCHAR>(info) - reinterpret_cast<PUCHAR>(&request));
  // The request must hold one interface with room for both pipes.
  if (info->Length < pipesAt + 2 * sizeof(USBD_PIPE_INFORMATION) || request.Hdr.Length < interfaceAt + info->Length) {
    request.Hdr.Status = USBD_STATUS_BUFFER_TOO_SMALL;
    return STATUS_BUFFER_TOO_SMALL;
  }
  request.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(&handset.Instance);
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(&handset.Armed);
  info->Class = 0xFF;
  info->SubClass = 0;
  info->Protocol = 0;
  info->NumberOfPipes = 2;
  const UCHAR endpoints[2] = {0x81, 0x02};
  UCHAR* pipes[2] = {&handset.InPipe, &handset.OutPipe};
  for (int i = 0; i < 2; ++i) {
    info->Pipes[i].MaximumPacketSize = 64;
    info->Pipes[i].EndpointAddress = endpoints[i];
    info->Pipes[i].Interval = 0;
    info->Pipes[i].PipeType = UsbdPipeTypeBulk;
    info->Pipes[i].PipeHandle = PipeHandle(*pipes[i]);
  }
  DbgPrint("usbbus: handset %u: configured\n", handset.Instance);
  return STATUS_SUCCESS;
}

}  // namespace

void PumpIn(Handset& handset, Completions& done) {
  while (handset.Present) {
    PIRP transfer = First(handset.InTransfers);
    if (!transfer) return;
    if (FaultDue(handset, TestUsbBusIn)) {
      if (Unpend(transfer)) Strike(handset, transfer, done);
      continue;
    }
    PIRP giver = First(handset.Givers);
    if (!giver) return;
    if (!Unpend(transfer)) continue;
    auto& bulk = UrbOf(transfer)->UrbBulkOrInterruptTransfer;
    auto* target = static_cast<PUCHAR>(bulk.TransferBuffer);
    ULONG filled = 0;
    while (giver && filled < bulk.TransferBufferLength) {
      const ULONG given = IoGetCurrentIrpStackLocation(giver)->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG_PTR taken = Progress(giver);
      const ULONG length = Smaller(given - taken, bulk.TransferBufferLength - filled);
      RtlCopyMemory(target + filled, static_cast<PUCHAR>(giver->AssociatedIrp.SystemBuffer) + taken, length);
      filled += length;
      SetProgress(giver, taken + length);
      if (taken + length < given) break;
      if (Unpend(giver)) Complete(done, giver, STATUS_SUCCESS, 0);
      giver = First(handset.Givers);
    }
    handset.BytesIn += filled;
    bulk.TransferBufferLength = filled;
    Finish(done, transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
}

void PumpOut(Handset& handset, Completions& done) {
  while (handset.Present) {
    PIRP transfer = First(handset.OutTransfers);
    if (!transfer) return;
    auto& bulk = UrbOf(transfer)->UrbBulkOrInterruptTransfer;
    if (FaultDue(handset, TestUsbBusOut) && Progress(transfer) == 0) {
      if (Unpend(transfer)) Strike(handset, transfer, done);
      continue;
    }
    if (Progress(transfer) == bulk.TransferBufferLength) {  // nothing (more) to carry
      if (Unpend(transfer)) Finish(done, transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
      continue;
    }
    PIRP taker = First(handset.Takers);
    if (!taker) return;
    if (!Unpend(taker)) continue;
    const ULONG room = IoGetCurrentIrpStackLocation(taker)->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG_PTR sent = Progress(transfer);
    const ULONG length = Smaller(bulk.TransferBufferLength - sent, room);
    RtlCopyMemory(taker->AssociatedIrp.SystemBuffer, static_cast<PUCHAR>(bulk.TransferBuffer) + sent, length);
    Complete(done, taker, STATUS_SUCCESS, length);
    SetProgress(transfer, sent + length);
    handset.BytesOut += length;
  }
}

bool PullOut(Handset& handset, Completions& done) {
  if (!handset.Present) return false;
  handset.Present = false;
  FailAll(handset.InTransfers, done);
  FailAll(handset.OutTransfers, done);
  FailAll(handset.Takers, done);
  FailAll(handset.Givers, done);
  if (handset.Owner) handset.Owner->FsContext = nullptr;
  handset.Owner = nullptr;
  DbgPrint("usbbus: handset %u pulled out after %u bytes in, %u bytes out, %u pipe and %u port resets\n",
           handset.Instance, ULONG(handset.BytesIn), ULONG(handset.BytesOut), handset.PipeResets, handset.PortResets);
  return true;
}

void InvalidateRelations() {
  if (TheBus.RootPdo) IoInvalidateDeviceRelations(TheBus.RootPdo, BusRelations);
}

NTSTATUS SubmitUrb(Handset& handset, PIRP irp, Completions& done) {
  PURB urb = UrbOf(irp);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(handset, urb->UrbSelectConfiguration);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& bulk = urb->UrbBulkOrInterruptTransfer;
      const bool in = bulk.PipeHandle == PipeHandle(handset.InPipe);
      if ((!in && bulk.PipeHandle != PipeHandle(handset.OutPipe)) || !bulk.TransferBuffer || bulk.TransferBufferMDL) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
      }
      SetProgress(irp, 0);
      Pend(in ? handset.InTransfers : handset.OutTransfers, irp, done);
      if (in) {
        PumpIn(handset, done);
      } else {
        PumpOut(handset, done);
      }
      return STATUS_PENDING;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      ++handset.PipeResets;
      return STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE: {
      USBD_PIPE_HANDLE pipe = urb->UrbPipeRequest.PipeHandle;
      if (pipe == PipeHandle(handset.InPipe)) AbortPipe(handset.InTransfers, done);
      if (pipe == PipeHandle(handset.OutPipe)) AbortPipe(handset.OutTransfers, done);
      return STATUS_SUCCESS;
    }
    default:
      DbgPrint("usbbus: handset %u: URB function %#x not served\n", handset.Instance, urb->UrbHeader.Function);
      urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS NTAPI HandsetInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  auto& handset = *static_cast<Handset*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Completions done;
  InitializeCompletions(done);
  NTSTATUS status;
  KIRQL irql;
  KeAcquireSpinLock(&TheBus.Lock, &irql);
  const bool wasPresent = handset.Present;
  if (!handset.Present) {
    if (PURB urb = UrbOf(irp)) urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_INTERNAL_USB_SUBMIT_URB:
        status = SubmitUrb(handset, irp, done);
        break;
      case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        status = STATUS_SUCCESS;
        break;
      case IOCTL_INTERNAL_USB_RESET_PORT:
      case IOCTL_INTERNAL_USB_CYCLE_PORT:
        ++handset.PortResets;
        status = STATUS_SUCCESS;
        break;
      default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
  }
  const bool pulledOut = wasPresent && !handset.Present;
  KeReleaseSpinLock(&TheBus.Lock, irql);
  return FinishDispatch(irp, status, done, pulledOut);
}

}  // namespace test_usb_bus
