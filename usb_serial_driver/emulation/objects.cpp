// The object namespace: drivers, device objects and their stacks, symbolic links and device
// interfaces.
#include <algorithm>
#include <cstdlib>

#include "emulation_private.h"

namespace kemu::detail {

namespace {

NTSTATUS InvalidRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT NewDriverObject(const std::u16string& name) {
  auto driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT)));
  auto extension = static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
  auto buffer = static_cast<PWSTR>(calloc(name.size() + 1, sizeof(WCHAR)));
  memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  RtlInitUnicodeString(&driver->DriverName, buffer);
  for (auto& dispatch : driver->MajorFunction) dispatch = InvalidRequest;
  auto lock = Lock();
  TheWorld().drivers.push_back(driver);
  return driver;
}

void FreeDriverObject(PDRIVER_OBJECT driver) {
  free(driver->DriverName.Buffer);
  free(driver->DriverExtension);
  free(driver);
}

void FreeDeviceMemory(PDEVICE_OBJECT device) {
  free(device->DeviceExtension);
  free(device);
}

PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, ULONG extensionSize, ULONG type) {
  auto device = static_cast<PDEVICE_OBJECT>(calloc(1, sizeof(DEVICE_OBJECT)));
  device->Type = 3;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = driver;
  device->DeviceType = type;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (extensionSize) device->DeviceExtension = calloc(1, extensionSize);
  device->NextDevice = driver->DeviceObject;
  driver->DeviceObject = device;
  return device;
}

void UnlinkFromDriver(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link && *link != device) link = &(*link)->NextDevice;
  if (*link) *link = device->NextDevice;
}

}  // namespace

void ResetObjects(World& world) {
  for (auto& [device, record] : world.devices) {
    if (record.physical) device->DeviceExtension = nullptr;  // the simulated device's own object
    FreeDeviceMemory(device);
  }
  world.devices.clear();
  for (PDRIVER_OBJECT driver : world.drivers) FreeDriverObject(driver);
  world.drivers.clear();
  world.nextPhysical = 0;
}

}  // namespace kemu::detail

namespace kemu {

using namespace detail;

PDRIVER_OBJECT LoadDriver(DriverEntryRoutine entry, const std::u16string& serviceName, NTSTATUS* status) {
  PDRIVER_OBJECT driver = NewDriverObject(u"\\Driver\\" + serviceName);
  // The path is only valid during DriverEntry; it is overwritten afterwards so that a driver
  // that kept the pointer instead of a copy reads garbage.
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path.c_str());
  RequireIrqlExactly(PASSIVE_LEVEL, "DriverEntry");
  NTSTATUS result = entry(driver, &registryPath);
  std::fill(path.begin(), path.end(), u'#');
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    auto lock = Lock();
    auto& drivers = TheWorld().drivers;
    drivers.erase(std::find(drivers.begin(), drivers.end(), driver));
    FreeDriverObject(driver);
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject) Bugcheck("a driver is unloaded while it still has device objects");
  RequireIrqlExactly(PASSIVE_LEVEL, "DriverUnload");
  if (driver->DriverUnload) driver->DriverUnload(driver);
  auto lock = Lock();
  auto& drivers = TheWorld().drivers;
  drivers.erase(std::find(drivers.begin(), drivers.end(), driver));
  FreeDriverObject(driver);
}

PDRIVER_OBJECT CreateBusDriver(const std::u16string& name) { return NewDriverObject(u"\\Driver\\" + name); }

void DeleteBusDriver(PDRIVER_OBJECT driver) {
  auto lock = Lock();
  auto& drivers = TheWorld().drivers;
  auto it = std::find(drivers.begin(), drivers.end(), driver);
  if (it == drivers.end()) return;  // already gone with a Reset
  drivers.erase(it);
  FreeDriverObject(driver);
}

PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT busDriver, void* owner) {
  PDEVICE_OBJECT device = NewDevice(busDriver, 0, FILE_DEVICE_UNKNOWN);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  auto lock = Lock();
  World& world = TheWorld();
  DeviceRecord record;
  record.name = u"\\Device\\USBPDO-" + Widen(std::to_string(world.nextPhysical++));
  record.physical = true;
  record.hardwareKey =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\" + record.name.substr(8) + u"\\Device Parameters";
  world.devices[device] = record;
  world.registry[record.hardwareKey];
  device->DeviceExtension = owner;
  return device;
}

void DeletePhysicalDevice(PDEVICE_OBJECT physical) {
  auto lock = Lock();
  World& world = TheWorld();
  auto it = world.devices.find(physical);
  if (it == world.devices.end()) return;  // already gone with a Reset
  if (physical->AttachedDevice) Bugcheck("a physical device is deleted while a driver is still attached to it");
  UnlinkFromDriver(physical);
  world.devices.erase(it);
  free(physical);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physical) {
  auto lock = Lock();
  while (physical->AttachedDevice) physical = physical->AttachedDevice;
  return physical;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  auto lock = Lock();
  auto it = TheWorld().devices.find(device);
  return it == TheWorld().devices.end() ? std::u16string() : it->second.name;
}

PDEVICE_OBJECT DeviceByName(const std::u16string& name) {
  auto lock = Lock();
  for (auto& [device, record] : TheWorld().devices)
    if (!name.empty() && record.name == name) return device;
  return nullptr;
}

bool DeviceNameExists(const std::u16string& name) {
  auto lock = Lock();
  for (auto& [device, record] : TheWorld().devices)
    if (record.name == name) return true;
  return false;
}

std::optional<std::u16string> SymbolicLinkTarget(const std::u16string& link) {
  auto lock = Lock();
  auto it = TheWorld().links.find(link);
  if (it == TheWorld().links.end()) return std::nullopt;
  return it->second;
}

std::optional<std::u16string> ResolveSymbolicLink(const std::u16string& link) {
  auto folded = [](std::u16string text) {
    for (char16_t& c : text)
      if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return text;
  };
  auto lock = Lock();
  for (auto& [name, target] : TheWorld().links)
    if (folded(name) == folded(link)) return target;
  return std::nullopt;
}

size_t SymbolicLinkCount() {
  auto lock = Lock();
  return TheWorld().links.size();
}

std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physical) {
  auto lock = Lock();
  std::vector<DeviceInterface> result;
  for (auto& record : TheWorld().interfaces)
    if (record.physical == physical) result.push_back({record.name, record.enabled});
  return result;
}

}  // namespace kemu

using namespace kemu::detail;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
  (void)exclusive;
  RequireIrqlExactly(PASSIVE_LEVEL, "IoCreateDevice");
  if (auto failure = InjectedFailure("IoCreateDevice")) return *failure;
  std::u16string text = ToString(name);
  auto lock = Lock();
  World& world = TheWorld();
  if (!text.empty())
    for (auto& [other, record] : world.devices)
      if (record.name == text) return STATUS_OBJECT_NAME_COLLISION;
  PDEVICE_OBJECT created = NewDevice(driver, extensionSize, type);
  created->Characteristics = characteristics;
  DeviceRecord record;
  record.name = text;
  record.extensionSize = extensionSize;
  world.devices[created] = record;
  *device = created;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoDeleteDevice");
  SIZE_T extensionSize;
  {
    auto lock = Lock();
    auto it = TheWorld().devices.find(device);
    if (it == TheWorld().devices.end()) kemu::Bugcheck("IoDeleteDevice of a device object that does not exist");
    if (it->second.lower) kemu::Bugcheck("IoDeleteDevice of a device object still attached to a lower device");
    if (device->AttachedDevice) kemu::Bugcheck("IoDeleteDevice of a device object another device is attached to");
    extensionSize = it->second.extensionSize;
  }
  CheckNoKernelObjectsIn(device->DeviceExtension, extensionSize, "IoDeleteDevice");
  auto lock = Lock();
  UnlinkFromDriver(device);
  TheWorld().devices.erase(device);
  memset(device->DeviceExtension, 0xDD, extensionSize);
  FreeDeviceMemory(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  auto lock = Lock();
  World& world = TheWorld();
  while (target->AttachedDevice) target = target->AttachedDevice;
  target->AttachedDevice = source;
  source->StackSize = CCHAR(target->StackSize + 1);
  world.devices[source].lower = target;
  return target;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoDetachDevice");
  auto lock = Lock();
  World& world = TheWorld();
  PDEVICE_OBJECT attached = target->AttachedDevice;
  if (!attached) kemu::Bugcheck("IoDetachDevice of a device nothing is attached to");
  target->AttachedDevice = nullptr;
  world.devices[attached].lower = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  std::u16string name = ToString(link);
  LogCall("IoCreateSymbolicLink " + Narrow(name));
  if (auto failure = InjectedFailure("IoCreateSymbolicLink")) return *failure;
  // As the object manager does: a name must end in a component, not in a separator.
  if (name.empty() || name.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
  auto lock = Lock();
  auto inserted = TheWorld().links.emplace(name, ToString(target));
  return inserted.second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  LogCall("IoDeleteSymbolicLink " + Narrow(ToString(link)));
  auto lock = Lock();
  return TheWorld().links.erase(ToString(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physical, const GUID* interfaceClass, PUNICODE_STRING reference,
                                   PUNICODE_STRING symbolicLinkName) {
  (void)reference;
  RequireIrqlExactly(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  LogCall("IoRegisterDeviceInterface");
  if (auto failure = InjectedFailure("IoRegisterDeviceInterface")) return *failure;
  std::u16string name;
  {
    auto lock = Lock();
    World& world = TheWorld();
    auto device = world.devices.find(physical);
    if (device == world.devices.end() || !device->second.physical)
      kemu::Bugcheck("IoRegisterDeviceInterface needs a physical device object");
    char guid[40];
    snprintf(guid, sizeof guid, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", interfaceClass->Data1,
             interfaceClass->Data2, interfaceClass->Data3, interfaceClass->Data4[0], interfaceClass->Data4[1],
             interfaceClass->Data4[2], interfaceClass->Data4[3], interfaceClass->Data4[4], interfaceClass->Data4[5],
             interfaceClass->Data4[6], interfaceClass->Data4[7]);
    name = u"\\??\\USB#" + device->second.name.substr(8) + u"#";
    for (const char* c = guid; *c; ++c) name += char16_t(*c);
    bool known = std::any_of(world.interfaces.begin(), world.interfaces.end(),
                             [&](const InterfaceRecord& record) { return record.name == name; });
    if (!known) world.interfaces.push_back(InterfaceRecord{physical, name, false});
  }
  SIZE_T bytes = (name.size() + 1) * sizeof(WCHAR);
  auto buffer = static_cast<PWSTR>(AllocatePool(PagedPool, bytes, kemu::Tag("IoIf"), false));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, name.c_str(), bytes);
  symbolicLinkName->Buffer = buffer;
  symbolicLinkName->Length = USHORT(name.size() * sizeof(WCHAR));
  symbolicLinkName->MaximumLength = USHORT(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
  RequireIrqlExactly(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  LogCall(enable ? "IoSetDeviceInterfaceState TRUE" : "IoSetDeviceInterfaceState FALSE");
  if (auto failure = InjectedFailure("IoSetDeviceInterfaceState")) return *failure;
  auto lock = Lock();
  std::u16string name = ToString(symbolicLinkName);
  for (auto& record : TheWorld().interfaces) {
    if (record.name != name) continue;
    record.enabled = enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
