// What a test controls: the world the driver runs in, and the handles a test uses to drive it (the clock, DPCs, pool failures, the registry, the object namespace, the I/O,
// plug-and-play and power managers).
//
// Two ways to run:
// - Deterministic (the default): nothing runs unless the test, or a wait inside the driver,
//   makes it run. A wait that cannot be satisfied runs queued DPCs and deferred work, then
//   moves the virtual clock to the next timer; when nothing is left it ends the test with
//   "wait can never end" instead of hanging. Every race between DPCs, timers, cancels and
//   completions becomes an order the test chooses.
// - Threaded (StartThreads): a worker thread runs DPCs, timers and deferred work, the clock
//   follows real time, and waits block; a wait that does not end within a minute ends the test.
//
// What Windows would bugcheck on ends the test at once with a message (Bugcheck).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver_view.h"

namespace kemu {

[[noreturn]] void Bugcheck(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Called with the text of a bugcheck before the process ends, so that a harness (a fuzzer) can
// report what led there. Cleared by Reset. It may be called with the emulation's own lock held,
// so it must not call into the emulation.
void SetBugcheckHandler(std::function<void(const std::string&)> handler);

// ---- The world ------------------------------------------------------------------------------
void Reset();                         // a fresh kernel; frees whatever the last test left behind
std::vector<std::string> Problems();  // leaks, locks held, IRQL, requests never completed, ...
void StartThreads();
void StopThreads();
bool Threaded();

// ---- Scheduling --------------------------------------------------------------------------------
size_t RunDpcs();                               // runs queued DPCs, first in first out, until none is left
bool RunNextDpc();                              // runs the oldest queued DPC; false when none is queued
size_t RunDeferred();                           // runs deferred work (device completions, passive power work)
void RunUntilIdle();                            // both, until neither has anything left
void AdvanceTime(LONGLONG hundredNanoseconds);  // fires the timers that fall due; runs nothing
// Timers expire on multiples of this (100 ns units), as on Windows' clock interrupt; 1 (the
// default after Reset) makes them exact. Windows' usual tick is 156250 (15.625 ms).
void SetTimerResolution(LONGLONG hundredNanoseconds);
constexpr LONGLONG kWindowsClockTick = 156250;
LONGLONG Now();
size_t QueuedDpcCount();
// No DPC queued and none running: what dispatch-level work there was has been done.
bool DpcsIdle();
size_t ArmedTimerCount();
void Defer(KIRQL irql, std::function<void()> work);
// Drives the world (DPCs, deferred work, then time) until done() holds; ends the test when
// nothing is left that could make it hold.
void RunUntil(const std::function<bool()>& done, const char* what);
// The same with a limit: true once done() holds, false when the clock has moved on by timeout
// (100 ns units) first. Deterministic, the clock jumps from timer to timer and then to the limit;
// threaded, real time passes.
bool RunUntilFor(const std::function<bool()>& done, LONGLONG timeout);

// ---- Pool --------------------------------------------------------------------------------------
constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 | ULONG(UCHAR(text[3])) << 24;
}
struct PoolFailure {
  ULONG tag = 0;    // 0: any tag
  SIZE_T size = 0;  // 0: any size
  int skip = 0;     // matching allocations that still succeed first
  int count = 1;    // how many fail then; -1: all
};
void FailPoolAllocations(PoolFailure rule);
// Larger allocations fail as a pool without such a free block does (0, after Reset: no limit), so
// that a harness can let a driver ask for any size without the host paying for it.
void SetLargestPoolBlock(SIZE_T bytes);
size_t PoolBlocksInUse(ULONG tag = 0);  // 0: every tag
size_t PoolBytesInUse(ULONG tag = 0);
void SetSystemSize(MM_SYSTEMSIZE size);

// ---- Making any emulated call fail ----------------------------------------------------------
// name is the call's name ("IoCreateSymbolicLink", "IoAllocateIrp", ...); calls that return a
// pointer return null instead.
void FailCall(const std::string& name, NTSTATUS status, int skip = 0, int count = 1);

// ---- Registry ----------------------------------------------------------------------------------
void SetDeviceString(PDEVICE_OBJECT physical, const std::u16string& name, const std::u16string& value);
void SetDeviceDword(PDEVICE_OBJECT physical, const std::u16string& name, ULONG value);
void DeleteDeviceValue(PDEVICE_OBJECT physical, const std::u16string& name);
std::optional<std::u16string> SerialCommValue(const std::u16string& valueName);
size_t SerialCommValueCount();
size_t OpenKeyCount();

// ---- Object namespace --------------------------------------------------------------------------
bool DeviceNameExists(const std::u16string& name);
std::optional<std::u16string> SymbolicLinkTarget(const std::u16string& link);
// The same lookup as the object manager makes it for an open: the name compared without regard to case.
std::optional<std::u16string> ResolveSymbolicLink(const std::u16string& link);
size_t SymbolicLinkCount();
struct DeviceInterface {
  std::u16string name;
  bool enabled;
};
std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physical);
std::u16string DeviceName(PDEVICE_OBJECT device);
// The device object of that name, as the object manager finds it for an open; null when none has it.
PDEVICE_OBJECT DeviceByName(const std::u16string& name);

// ---- Drivers and the device stack ------------------------------------------------------------
typedef NTSTATUS (*DriverEntryRoutine)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
PDRIVER_OBJECT LoadDriver(DriverEntryRoutine entry, const std::u16string& serviceName, NTSTATUS* status = nullptr);
void UnloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT CreateBusDriver(const std::u16string& name);
void DeleteBusDriver(PDRIVER_OBJECT driver);
PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT busDriver, void* owner);  // Extension = owner
void DeletePhysicalDevice(PDEVICE_OBJECT physical);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physical);

// ---- Plug-and-play and power manager --------------------------------------------------------
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical);
NTSTATUS SendPnp(PDEVICE_OBJECT physical, UCHAR minor);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT physical);
NTSTATUS StartDevice(PDEVICE_OBJECT physical);  // start, then the capabilities query, as Windows does
NTSTATUS SendSystemPower(PDEVICE_OBJECT physical, UCHAR minor, SYSTEM_POWER_STATE state);
NTSTATUS SendDevicePower(PDEVICE_OBJECT physical, UCHAR minor, DEVICE_POWER_STATE state);
DEVICE_POWER_STATE LastPoSetPowerState(PDEVICE_OBJECT device);

// ---- Requests from applications (the I/O manager) -------------------------------------------
// A request stays allocated until the object is destroyed, so its result can be inspected;
// Problems() reports every one that was sent and never completed.
class Request {
 public:
  static Request Create(PDEVICE_OBJECT device, ULONG options = 0);
  static Request Close(PDEVICE_OBJECT device);
  static Request Cleanup(PDEVICE_OBJECT device);
  static Request Read(PDEVICE_OBJECT device, ULONG length);
  static Request Write(PDEVICE_OBJECT device, const std::vector<UCHAR>& data);
  static Request Flush(PDEVICE_OBJECT device);
  static Request DeviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<UCHAR>& input, ULONG outputLength,
                               bool internal = false);
  static Request Other(PDEVICE_OBJECT device, UCHAR major);

  Request(Request&& other) noexcept;
  Request& operator=(Request&&) = delete;
  ~Request();

  // Dispatches at PASSIVE_LEVEL and checks the pending rule: a routine returns STATUS_PENDING
  // exactly when it marked the request pending, and otherwise returns the completed status.
  NTSTATUS Send();
  bool Completed() const;
  NTSTATUS Status() const;
  ULONG_PTR Information() const;
  CCHAR Boost() const;
  std::vector<UCHAR> Output() const;
  BOOLEAN Cancel();
  PIRP Irp() const { return irp_; }
  // Called once the request has been completed past the top of its stack, on whichever thread
  // completed it, without the emulation's lock held (it may read the result). Set before Send.
  void OnCompleted(std::function<void()> callback);

 private:
  Request(PDEVICE_OBJECT device, UCHAR major, ULONG bufferLength);
  PDEVICE_OBJECT device_;
  PIRP irp_;
};

// ---- Observation and hooks ---------------------------------------------------------------------
std::vector<std::string> DebugLog();
size_t CountDebugLines(const std::string& text);
void ClearDebugLog();
// The calls that name a port and power its device, in the order the driver made them:
// "IoCreateSymbolicLink <link>", "IoDeleteSymbolicLink <link>", "RtlWriteRegistryValue
// SERIALCOMM <value>", "RtlDeleteRegistryValue SERIALCOMM <value>", "IoRegisterDeviceInterface",
// "IoSetDeviceInterfaceState TRUE|FALSE", "PoRequestPowerIrp SET_POWER D<n>|WAIT_WAKE".
std::vector<std::string> CallLog();
void ClearCallLog();
// Runs just before IoCancelIrp takes the cancel spin lock (to complete a request in between).
void SetBeforeCancelHook(std::function<void(PIRP)> hook);
// Names a lock inside device extensions by its offset, for lock-order messages.
void NameExtensionLock(size_t offset, const std::string& name);
size_t IrpsInUse();  // allocated by drivers and not yet freed
// The most IoCallDriver calls that were nested on one thread since Reset or the last call.
int DeepestCallNesting();
KIRQL CurrentIrql();

}  // namespace kemu
