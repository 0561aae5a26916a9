// USB configuration. Runs at PASSIVE_LEVEL in open and in plug-and-play requests; no lock.
#include "usb_configuration.h"

#include "forward_and_wait.h"

namespace quenta {

namespace {

// Reads a descriptor into buffer; *received says how many bytes came.
NTSTATUS GetDescriptor(PortExtension* port, UCHAR type, PVOID buffer, ULONG length, ULONG* received) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, USHORT(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type, 0, 0, buffer,
                               nullptr, length, nullptr);
  NTSTATUS status = SubmitUrb(port, &urb);
  *received = urb.UrbControlDescriptorRequest.TransferBufferLength;
  if (*received > length) *received = length;
  return status;
}

NTSTATUS SelectInterface(PortExtension* port, PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor) {
  USBD_INTERFACE_LIST_ENTRY interfaces[2];
  interfaces[0].InterfaceDescriptor = interfaceDescriptor;
  interfaces[0].Interface = nullptr;
  interfaces[1].InterfaceDescriptor = nullptr;
  interfaces[1].Interface = nullptr;
  PURB urb = USBD_CreateConfigurationRequestEx(port->ConfigDescriptor, interfaces);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = SubmitUrb(port, urb);
  if (NT_SUCCESS(status)) {
    // The pipes are taken by index; a pipe the interface lacks is refused where it is used.
    PUSBD_INTERFACE_INFORMATION selected = interfaces[0].Interface;
    port->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    port->InterfaceInfo =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, selected->Length, UsbPoolTag));
    if (port->InterfaceInfo)
      RtlCopyMemory(port->InterfaceInfo, selected, selected->Length);
    else
      status = STATUS_INSUFFICIENT_RESOURCES;
  }
  ExFreePool(urb);
  return status;
}

}  // namespace

NTSTATUS SubmitInternalRequest(PortExtension* port, ULONG controlCode, PVOID argument1) {
  PIRP irp = IoAllocateIrp(port->LowerDeviceObject->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = controlCode;
  next->Parameters.Others.Argument1 = argument1;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (IoCallDriver(port->LowerDeviceObject, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS ConfigureDevice(PortExtension* port) {
  FreeConfiguration(port);
  RtlZeroMemory(&port->DeviceDescriptor, sizeof port->DeviceDescriptor);
  ULONG received;
  NTSTATUS status = GetDescriptor(port, USB_DEVICE_DESCRIPTOR_TYPE, &port->DeviceDescriptor,
                                  sizeof port->DeviceDescriptor, &received);
  if (!NT_SUCCESS(status)) return status;

  USB_CONFIGURATION_DESCRIPTOR header;
  RtlZeroMemory(&header, sizeof header);
  status = GetDescriptor(port, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof header, &received);
  if (!NT_SUCCESS(status)) return status;
  // The device's own lengths decide how far the parser walks: hold them to what was read.
  if (received < sizeof header || header.wTotalLength < sizeof header) return STATUS_DEVICE_DATA_ERROR;

  ULONG total = header.wTotalLength;
  port->ConfigDescriptor =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, UsbPoolTag));
  if (!port->ConfigDescriptor) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(port->ConfigDescriptor, total);
  status = GetDescriptor(port, USB_CONFIGURATION_DESCRIPTOR_TYPE, port->ConfigDescriptor, total, &received);
  if (!NT_SUCCESS(status)) return status;
  if (received < sizeof header) return STATUS_DEVICE_DATA_ERROR;
  if (port->ConfigDescriptor->wTotalLength > received) port->ConfigDescriptor->wTotalLength = USHORT(received);

  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(port->ConfigDescriptor, port->ConfigDescriptor, 0, 0, -1, -1, -1);
  if (!interfaceDescriptor) return STATUS_DEVICE_DATA_ERROR;
  return SelectInterface(port, interfaceDescriptor);
}

void FreeConfiguration(PortExtension* port) {
  if (port->ConfigDescriptor) ExFreePool(port->ConfigDescriptor);
  if (port->InterfaceInfo) ExFreePool(port->InterfaceInfo);
  port->ConfigDescriptor = nullptr;
  port->InterfaceInfo = nullptr;
  port->ConfigurationHandle = nullptr;
}

NTSTATUS ResetPipe(PortExtension* port, ULONG pipeIndex) {
  if (!port->InterfaceInfo || pipeIndex >= port->InterfaceInfo->NumberOfPipes) return STATUS_INVALID_DEVICE_STATE;
  ULONG size = sizeof(struct _URB_PIPE_REQUEST);
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UsbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = port->InterfaceInfo->Pipes[pipeIndex].PipeHandle;
  NTSTATUS status = SubmitUrb(port, urb);
  ExFreePool(urb);
  return status;
}

void AbortPipes(PortExtension* port) {
  if (!port->InterfaceInfo) return;
  for (ULONG i = 0; i < port->InterfaceInfo->NumberOfPipes; ++i) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Length = USHORT(sizeof(struct _URB_PIPE_REQUEST));
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = port->InterfaceInfo->Pipes[i].PipeHandle;
    SubmitUrb(port, &urb);
  }
}

void CheckAndResetPort(PortExtension* port) {
  ULONG portStatus = 0;
  if (!NT_SUCCESS(SubmitInternalRequest(port, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus))) return;
  if ((portStatus & USBD_PORT_CONNECTED) && !(portStatus & USBD_PORT_ENABLED)) {
    DbgPrint("Need Reset USB Bus Device !!!\n");
    SubmitInternalRequest(port, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  }
}

}  // namespace quenta
