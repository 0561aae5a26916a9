// Port naming. Runs only in plug-and-play requests, which arrive one at a time: no lock.
#include "port_naming.h"

#include "registry_values.h"

namespace quenta {

namespace {

// {9B2095CE-99A1-44D9-A7C6-C7CB5841FEDB}
const GUID PortInterfaceClass = {0x9B2095CE, 0x99A1, 0x44D9, {0xA7, 0xC6, 0xC7, 0xCB, 0x58, 0x41, 0xFE, 0xDB}};

constexpr USHORT NameBufferUsable = 256;  // bytes
constexpr USHORT NameBufferBytes = NameBufferUsable + sizeof(WCHAR);
constexpr USHORT ComNameCharacters = 32;

void FreeString(PUNICODE_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

PWSTR AllocateNameBuffer() {
  auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NameBufferBytes, PortPoolTag));
  if (buffer) RtlZeroMemory(buffer, NameBufferBytes);
  return buffer;
}

bool IsNamed(const PortExtension* port) {
  return port->SymbolicLinkName.Buffer || port->ComName.Buffer || port->InterfaceName.Buffer ||
         port->CreatedSymbolicLink || port->WroteDeviceMap;
}

}  // namespace

NTSTATUS ReadPortName(HANDLE key, PUNICODE_STRING linkName, PWSTR* portName) {
  PWSTR linkBuffer = AllocateNameBuffer();
  PWSTR nameBuffer = AllocateNameBuffer();
  if (!linkBuffer || !nameBuffer) {
    if (linkBuffer) ExFreePool(linkBuffer);
    if (nameBuffer) ExFreePool(nameBuffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = ReadRegistryValue(key, KTEXT("PortName"), nameBuffer, NameBufferUsable);
  if (!NT_SUCCESS(status)) status = ReadRegistryValue(key, KTEXT("Identifier"), nameBuffer, NameBufferUsable);
  UNICODE_STRING work;
  work.Buffer = linkBuffer;
  work.Length = 0;
  work.MaximumLength = NameBufferUsable;
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&work, KTEXT("\\"));
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&work, KTEXT("DosDevices"));
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&work, KTEXT("\\"));
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&work, nameBuffer);
  if (NT_SUCCESS(status)) {
    linkName->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, work.Length + sizeof(WCHAR), PortPoolTag));
    if (!linkName->Buffer) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(linkBuffer);
    ExFreePool(nameBuffer);
    return status;
  }
  linkName->Length = 0;
  linkName->MaximumLength = USHORT(work.Length + sizeof(WCHAR));
  RtlCopyUnicodeString(linkName, &work);
  ExFreePool(linkBuffer);
  *portName = nameBuffer;
  return STATUS_SUCCESS;
}

NTSTATUS NamePort(PortExtension* port) {
  if (IsNamed(port)) {  // a restart after a stop names the port again
    UnnamePort(port);
    FreePortNames(port, FALSE);
  }
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  ULONG skip = 0;
  ReadRegistryValue(key, KTEXT("UsbSkipExternalNaming"), &skip, sizeof skip);
  port->SkipExternalNaming = skip;
  if (skip) {
    ZwClose(key);
    return STATUS_SUCCESS;
  }
  PWSTR portName;
  status = ReadPortName(key, &port->SymbolicLinkName, &portName);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;

  // Room for 32 characters; the last two bytes of the zeroed buffer stay its terminator. A
  // longer name is not stored, and the port is listed under SERIALCOMM with an empty name.
  bool interfaceRegistered = false;
  port->ComName.Buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (ComNameCharacters + 1) * sizeof(WCHAR), PortPoolTag));
  if (port->ComName.Buffer) {
    RtlZeroMemory(port->ComName.Buffer, (ComNameCharacters + 1) * sizeof(WCHAR));
    port->ComName.Length = 0;
    port->ComName.MaximumLength = ComNameCharacters * sizeof(WCHAR);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, portName);
    RtlAppendUnicodeStringToString(&port->ComName, &name);
    status = IoCreateSymbolicLink(&port->SymbolicLinkName, &port->ValueName);
  } else {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    port->CreatedSymbolicLink = TRUE;
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, KTEXT("SERIALCOMM"), port->ValueName.Buffer, REG_SZ,
                                   port->ComName.Buffer, port->ComName.Length + sizeof(WCHAR));
  }
  if (NT_SUCCESS(status)) {
    port->WroteDeviceMap = TRUE;
    status = IoRegisterDeviceInterface(port->PhysicalDeviceObject, &PortInterfaceClass, nullptr, &port->InterfaceName);
  }
  if (NT_SUCCESS(status)) {
    interfaceRegistered = true;
    status = IoSetDeviceInterfaceState(&port->InterfaceName, TRUE);
  }
  if (!NT_SUCCESS(status)) {
    FreeString(&port->ComName);
    if (port->CreatedSymbolicLink) {
      IoDeleteSymbolicLink(&port->SymbolicLinkName);
      port->CreatedSymbolicLink = FALSE;
    }
    FreeString(&port->SymbolicLinkName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, KTEXT("SERIALCOMM"), port->ValueName.Buffer);
    port->WroteDeviceMap = FALSE;
    if (interfaceRegistered) {
      IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
      RtlFreeUnicodeString(&port->InterfaceName);
    }
  }
  ExFreePool(portName);
  return status;
}

void UnnamePort(PortExtension* port) {
  if (port->SkipExternalNaming) return;
  // The link kept from NamePort, not one rebuilt from the registry: "PortName" may have
  // changed since, and the link that was made is the one to remove.
  if (port->SymbolicLinkName.Buffer && port->CreatedSymbolicLink) {
    if (port->InterfaceName.Buffer) {
      IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
      RtlFreeUnicodeString(&port->InterfaceName);
    }
    IoDeleteSymbolicLink(&port->SymbolicLinkName);
    port->CreatedSymbolicLink = FALSE;
  }
  if (port->ValueName.Buffer && port->WroteDeviceMap) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, KTEXT("SERIALCOMM"), port->ValueName.Buffer);
    port->WroteDeviceMap = FALSE;
  }
}

void FreePortNames(PortExtension* port, BOOLEAN includingValueName) {
  FreeString(&port->SymbolicLinkName);
  FreeString(&port->ComName);
  if (port->InterfaceName.Buffer) RtlFreeUnicodeString(&port->InterfaceName);
  if (includingValueName) FreeString(&port->ValueName);
}

}  // namespace quenta
