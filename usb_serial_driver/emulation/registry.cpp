// An in-memory registry: each physical device's hardware key, and the SERIALCOMM device map.
// Handles must be closed (the end-of-test check counts open ones); a value is returned only
// when it fits the caller's buffer.
#include "emulation_private.h"

namespace kemu::detail {

namespace {

const std::u16string kDeviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\";
const std::u16string kSerialComm = kDeviceMap + u"SERIALCOMM";

std::u16string HardwareKeyOf(PDEVICE_OBJECT physical) {
  auto lock = Lock();
  auto it = TheWorld().devices.find(physical);
  if (it == TheWorld().devices.end() || !it->second.physical)
    Bugcheck("a hardware key was asked of a device object that is not a physical device");
  return it->second.hardwareKey;
}

void SetValue(const std::u16string& key, const std::u16string& name, ULONG type, const void* data, size_t size) {
  auto lock = Lock();
  auto bytes = static_cast<const UCHAR*>(data);
  TheWorld().registry[key][name] = RegistryValue{type, std::vector<UCHAR>(bytes, bytes + size)};
}

}  // namespace
}  // namespace kemu::detail

namespace kemu {

using namespace detail;

void SetDeviceString(PDEVICE_OBJECT physical, const std::u16string& name, const std::u16string& value) {
  SetValue(HardwareKeyOf(physical), name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(char16_t));
}

void SetDeviceDword(PDEVICE_OBJECT physical, const std::u16string& name, ULONG value) {
  SetValue(HardwareKeyOf(physical), name, REG_DWORD, &value, sizeof value);
}

void DeleteDeviceValue(PDEVICE_OBJECT physical, const std::u16string& name) {
  std::u16string key = HardwareKeyOf(physical);
  auto lock = Lock();
  TheWorld().registry[key].erase(name);
}

std::optional<std::u16string> SerialCommValue(const std::u16string& valueName) {
  auto lock = Lock();
  auto& key = TheWorld().registry[kSerialComm];
  auto it = key.find(valueName);
  if (it == key.end()) return std::nullopt;
  auto& data = it->second.data;
  std::u16string text(data.size() / 2, u'\0');
  memcpy(text.data(), data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

size_t SerialCommValueCount() {
  auto lock = Lock();
  return TheWorld().registry[kSerialComm].size();
}

size_t OpenKeyCount() {
  auto lock = Lock();
  return TheWorld().openKeys.size();
}

}  // namespace kemu

using namespace kemu::detail;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access, PHANDLE key) {
  (void)access;
  RequireIrqlExactly(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (keyType != PLUGPLAY_REGKEY_DEVICE) kemu::Bugcheck("IoOpenDeviceRegistryKey: only the hardware key is emulated");
  if (auto failure = InjectedFailure("IoOpenDeviceRegistryKey")) return *failure;
  std::u16string path = HardwareKeyOf(device);
  auto lock = Lock();
  World& world = TheWorld();
  HANDLE handle = reinterpret_cast<HANDLE>(world.nextHandle += 4);
  world.openKeys[handle] = path;
  *key = handle;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID information, ULONG length, PULONG resultLength) {
  RequireIrqlExactly(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (infoClass != KeyValuePartialInformation) kemu::Bugcheck("ZwQueryValueKey: only partial information is emulated");
  auto lock = Lock();
  World& world = TheWorld();
  auto open = world.openKeys.find(key);
  if (open == world.openKeys.end()) kemu::Bugcheck("ZwQueryValueKey with a handle that is not open");
  auto& values = world.registry[open->second];
  auto value = values.find(ToString(valueName));
  if (value == values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ULONG needed = header + ULONG(value->second.data.size());
  *resultLength = needed;
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  auto partial = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(information);
  partial->TitleIndex = 0;
  partial->Type = value->second.type;
  partial->DataLength = ULONG(value->second.data.size());
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  memcpy(partial->Data, value->second.data.data(), value->second.data.size());
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  RequireIrqlExactly(PASSIVE_LEVEL, "ZwClose");
  auto lock = Lock();
  if (!TheWorld().openKeys.erase(handle)) kemu::Bugcheck("INVALID_KERNEL_HANDLE: ZwClose of a handle that is not open");
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID data,
                               ULONG length) {
  RequireIrqlExactly(PASSIVE_LEVEL, "RtlWriteRegistryValue");
  if (relativeTo != RTL_REGISTRY_DEVICEMAP) kemu::Bugcheck("RtlWriteRegistryValue: only the device map is emulated");
  LogCall("RtlWriteRegistryValue " + Narrow(ToString(path)) + " " + Narrow(ToString(valueName)));
  if (auto failure = InjectedFailure("RtlWriteRegistryValue")) return *failure;
  SetValue(kDeviceMap + ToString(path), ToString(valueName), valueType, data, length);
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
  RequireIrqlExactly(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
  if (relativeTo != RTL_REGISTRY_DEVICEMAP) kemu::Bugcheck("RtlDeleteRegistryValue: only the device map is emulated");
  LogCall("RtlDeleteRegistryValue " + Narrow(ToString(path)) + " " + Narrow(ToString(valueName)));
  auto lock = Lock();
  auto& key = TheWorld().registry[kDeviceMap + ToString(path)];
  return key.erase(ToString(valueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
