// The two routines of the USB driver interface library the driver uses, implemented for real:
// finding an interface in a configuration descriptor set, and building the select-configuration
// request for a list of interfaces (from the pool, so that the caller frees it with ExFreePool).
#include "emulation_private.h"

namespace {

SIZE_T InterfaceInformationSize(ULONG pipes) {
  return sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || LONG(value) == wanted; }

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol) {
  auto begin = reinterpret_cast<PUCHAR>(configuration);
  auto end = begin + configuration->wTotalLength;
  auto position = static_cast<PUCHAR>(startPosition);
  while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > end) break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
      if (Matches(interfaceNumber, interface->bInterfaceNumber) &&
          Matches(alternateSetting, interface->bAlternateSetting) &&
          Matches(interfaceClass, interface->bInterfaceClass) &&
          Matches(interfaceSubClass, interface->bInterfaceSubClass) &&
          Matches(interfaceProtocol, interface->bInterfaceProtocol))
        return interface;
    }
    position += common->bLength;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  SIZE_T size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (auto entry = interfaceList; entry->InterfaceDescriptor; ++entry)
    size += InterfaceInformationSize(entry->InterfaceDescriptor->bNumEndpoints);
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kemu::Tag("USBD")));
  if (!urb) return nullptr;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
  auto position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (auto entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
    auto information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
    ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
    information->Length = USHORT(InterfaceInformationSize(pipes));
    information->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
    information->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
    information->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = information;
    position += information->Length;
  }
  return urb;
}
