// What only the emulation sees: its shared state and the helpers its files share. One mutex guards it; no emulation call holds that mutex
// while it runs driver code (a DPC, a completion or cancel routine, a dispatch routine).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "test_controls.h"

namespace kemu::detail {

// Where a request came from decides what happens when it is completed past the top of its stack.
enum class IrpOrigin { Driver, User, Manager, PowerRequest };
enum class IrpState { Idle, InFlight, Completed };

struct IrpInfo {
  IrpOrigin origin = IrpOrigin::Driver;
  IrpState state = IrpState::Idle;
  int completions = 0;
  CCHAR boost = 0;
  UCHAR major = 0;
  bool majorKnown = false;
  int startNextPowerCalls = 0;
  int levels = 0;  // drivers the IRP was sent to (IoCallDriver calls)
  // Set when IoCompleteRequest starts its walk (which rewrites the stack locations): whether the
  // location being completed had been marked pending.
  bool completionStarted = false;
  bool markedAtCompletion = false;
  std::function<void(PIRP)> onTopCompletion;
  std::vector<UCHAR> buffer;  // the system buffer of a request from an application
};

struct PoolBlock {
  ULONG tag;
  SIZE_T size;
  POOL_TYPE type;
};

struct CallFailure {
  std::string name;
  NTSTATUS status;
  int skip;
  int count;
};

struct RegistryValue {
  ULONG type;
  std::vector<UCHAR> data;
};
using RegistryKey = std::map<std::u16string, RegistryValue>;

struct DeviceRecord {
  std::u16string name;
  SIZE_T extensionSize = 0;
  PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack attached it to
  bool physical = false;
  std::u16string hardwareKey;  // physical devices only
  POWER_STATE lastPowerState{};
};

struct InterfaceRecord {
  PDEVICE_OBJECT physical;
  std::u16string name;
  bool enabled;
};

struct Deferred {
  KIRQL irql;
  std::function<void()> work;
};

// The execution state of one thread, or of one piece of work the deterministic mode runs
// inline on a waiting thread as if it ran on another processor.
struct Context {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<const void*> held;  // spin locks and fast mutexes, in acquisition order
};
Context& Current();
ULONG_PTR CurrentToken();

// Runs a piece of work in a fresh context at the given IRQL, and checks that it gave back
// every lock it took and returned at the IRQL it started at.
void RunInContext(KIRQL irql, const char* what, const std::function<void()>& work);

struct World {
  std::mutex mutex;
  std::condition_variable changed;

  bool threaded = false;
  bool stopping = false;
  std::thread worker;
  LONGLONG now = 0;
  LONGLONG timerResolution = 1;  // timers expire on multiples of it, as on the clock interrupt
  std::chrono::steady_clock::time_point realStart;
  LONGLONG realBase = 0;

  std::deque<PKDPC> dpcs;
  int runningDpcs = 0;  // taken off the queue and not yet returned
  std::vector<PKTIMER> timers;
  std::deque<Deferred> deferred;

  std::unordered_map<const void*, PoolBlock> pool;
  std::vector<PoolFailure> poolFailures;
  SIZE_T largestPoolBlock = 0;  // 0: as large as the host gives
  std::vector<CallFailure> callFailures;
  MM_SYSTEMSIZE systemSize = MmLargeSystem;

  std::map<std::u16string, RegistryKey> registry;
  std::map<HANDLE, std::u16string> openKeys;
  ULONG_PTR nextHandle = 0x100;

  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<std::u16string, std::u16string> links;
  std::vector<InterfaceRecord> interfaces;
  std::vector<PDRIVER_OBJECT> drivers;
  int nextPhysical = 0;

  std::unordered_map<PIRP, IrpInfo> irps;

  std::vector<std::string> debugLog;
  std::vector<std::string> callLog;
  std::function<void(PIRP)> beforeCancel;
  std::map<size_t, std::string> lockNames;
  std::set<std::pair<std::string, std::string>> lockOrder;
  int locksHeld = 0;
};

World& TheWorld();
std::unique_lock<std::mutex> Lock();

// Records a call for CallLog (the world's lock must not be held).
void LogCall(const std::string& entry);

// An injected failure for the named call, if one is due.
std::optional<NTSTATUS> InjectedFailure(const char* name);

bool CancelSpinLockHeldByCurrent();
void ResetSync();
void RequireIrqlAtMost(KIRQL level, const char* call);
void RequireIrqlExactly(KIRQL level, const char* call);
KIRQL RaiseIrql(KIRQL level);
void LowerIrql(KIRQL level);

// The emulation's own locks for its simulated devices: like spin locks, but not counted as the
// driver's and kept out of the lock-order record.
LONGLONG SystemTimeLocked(World& world);
void FireDueTimersLocked(World& world);
bool InsertDpcLocked(World& world, PKDPC dpc, PVOID argument1, PVOID argument2);
bool RunOneDpc();
bool RunOneDeferred();
std::optional<LONGLONG> NextTimerDueLocked(World& world);
void AdvanceToLocked(World& world, LONGLONG time);

// Memory the world still references (armed timers, queued DPCs) must not be freed.
void CheckNoKernelObjectsIn(const void* begin, SIZE_T size, const char* what);

IrpInfo& InfoOf(World& world, PIRP irp, const char* call);
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin);
void FreeIrpMemory(PIRP irp);
void NoteCallNesting(int change);
extern std::atomic<int> deepestCallNesting;

PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool quota);
std::u16string ToString(PCUNICODE_STRING string);
std::u16string ToString(PCWSTR text);
size_t WideLength(PCWSTR text);
std::string Narrow(const std::u16string& text);
std::u16string Widen(const std::string& text);

// The simulated handset's shared helpers (usb_handset.cpp).
PURB UrbOf(PIRP irp);
// A request cancelled before its cancel routine was set is the bus's to complete: true when it
// was, and the routine has been taken back.
bool CancelledBeforeQueued(PIRP irp);
void CompleteAtDispatch(PIRP irp);

void ResetObjects(World& world);
void ResetRequests(World& world);
void ResetPool(World& world);

}  // namespace kemu::detail
