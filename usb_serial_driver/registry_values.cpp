#include "registry_values.h"

#include "port_extension.h"

namespace quenta {

NTSTATUS ReadRegistryValue(HANDLE key, PCWSTR name, PVOID data, ULONG size) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG infoSize = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + size;
  auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, infoSize, PortPoolTag));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, infoSize, &resultLength);
  if (NT_SUCCESS(status)) {
    if (info->DataLength <= size)
      RtlCopyMemory(data, info->Data, info->DataLength);
    else
      status = STATUS_BUFFER_OVERFLOW;
  }
  ExFreePool(info);
  return status;
}

}  // namespace quenta
