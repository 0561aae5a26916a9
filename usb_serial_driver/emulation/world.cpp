// The emulated world: reset between tests, end-of-test checks, the scheduler of the
// deterministic mode, the worker thread of the threaded mode, failure injection and the
// debugger log.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "emulation_private.h"

namespace kemu {
namespace detail {

namespace {
thread_local Context threadContext;
thread_local Context* currentContext = nullptr;

constexpr auto kThreadedWaitLimit = std::chrono::seconds(60);

// Apart from the world's mutex: a bugcheck may come while that one is held.
std::mutex& BugcheckHandlerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(const std::string&)>& BugcheckHandler() {
  static std::function<void(const std::string&)> handler;
  return handler;
}
}  // namespace

World& TheWorld() {
  static World world;
  return world;
}

std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(TheWorld().mutex); }

Context& Current() { return currentContext ? *currentContext : threadContext; }

ULONG_PTR CurrentToken() { return reinterpret_cast<ULONG_PTR>(&Current()); }

void RunInContext(KIRQL irql, const char* what, const std::function<void()>& work) {
  Context fresh;
  fresh.irql = irql;
  Context* saved = currentContext;
  currentContext = &fresh;
  work();
  if (!fresh.held.empty()) Bugcheck("%s returned still holding %zu lock(s)", what, fresh.held.size());
  if (fresh.irql != irql) Bugcheck("%s returned at IRQL %d instead of %d", what, fresh.irql, irql);
  currentContext = saved;
}

std::optional<NTSTATUS> InjectedFailure(const char* name) {
  auto lock = Lock();
  auto& failures = TheWorld().callFailures;
  for (auto it = failures.begin(); it != failures.end(); ++it) {
    if (it->name != name) continue;
    if (it->skip > 0) {
      --it->skip;
      return std::nullopt;
    }
    NTSTATUS status = it->status;
    if (it->count > 0 && --it->count == 0) failures.erase(it);
    return status;
  }
  return std::nullopt;
}

bool RunOneDeferred() {
  Deferred item;
  {
    auto lock = Lock();
    auto& world = TheWorld();
    if (world.deferred.empty()) return false;
    item = std::move(world.deferred.front());
    world.deferred.pop_front();
  }
  RunInContext(item.irql, "deferred work", item.work);
  return true;
}

void LogCall(const std::string& entry) {
  auto lock = Lock();
  TheWorld().callLog.push_back(entry);
}

namespace {

void WorkerLoop() {
  World& world = TheWorld();
  auto lock = Lock();
  while (!world.stopping) {
    FireDueTimersLocked(world);
    if (!world.dpcs.empty() || !world.deferred.empty()) {
      lock.unlock();
      if (!RunOneDpc()) RunOneDeferred();
      lock.lock();
      continue;
    }
    if (auto next = NextTimerDueLocked(world)) {
      LONGLONG wait = *next - SystemTimeLocked(world);
      world.changed.wait_for(lock, std::chrono::microseconds(std::max<LONGLONG>(wait / 10, 1)));
    } else {
      world.changed.wait(lock);
    }
  }
}

}  // namespace
}  // namespace detail

using namespace detail;

void Bugcheck(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> lock(BugcheckHandlerMutex());
    handler = BugcheckHandler();
  }
  if (handler) handler(text);
  fprintf(stderr, "*** emulated bugcheck: %s\n", text);
  fflush(stderr);
  abort();
}

void SetBugcheckHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lock(BugcheckHandlerMutex());
  BugcheckHandler() = std::move(handler);
}

void Reset() {
  World& world = TheWorld();
  if (world.threaded) StopThreads();
  auto lock = Lock();
  ResetRequests(world);
  ResetObjects(world);
  ResetPool(world);
  ResetSync();
  world.now = 0;
  world.timerResolution = 1;
  world.stopping = false;
  world.dpcs.clear();
  world.runningDpcs = 0;
  world.timers.clear();
  world.deferred.clear();
  world.poolFailures.clear();
  world.largestPoolBlock = 0;
  world.callFailures.clear();
  world.systemSize = MmLargeSystem;
  world.registry.clear();
  world.openKeys.clear();
  world.links.clear();
  world.interfaces.clear();
  world.debugLog.clear();
  world.callLog.clear();
  world.beforeCancel = nullptr;
  SetBugcheckHandler(nullptr);
  world.lockOrder.clear();
  world.locksHeld = 0;
  Current() = Context{};
}

std::vector<std::string> Problems() {
  std::vector<std::string> problems;
  auto lock = Lock();
  World& world = TheWorld();
  std::map<ULONG, std::pair<size_t, size_t>> byTag;
  for (auto& [block, info] : world.pool) {
    auto& entry = byTag[info.tag];
    entry.first++;
    entry.second += info.size;
  }
  for (auto& [tag, entry] : byTag) {
    char name[5] = {char(tag), char(tag >> 8), char(tag >> 16), char(tag >> 24), 0};
    problems.push_back("pool tag \"" + std::string(name) + "\": " + std::to_string(entry.first) + " block(s), " +
                       std::to_string(entry.second) + " bytes leaked");
  }
  if (!world.openKeys.empty()) problems.push_back(std::to_string(world.openKeys.size()) + " registry key(s) left open");
  if (world.locksHeld != 0) problems.push_back(std::to_string(world.locksHeld) + " lock(s) still held");
  if (Current().irql != PASSIVE_LEVEL)
    problems.push_back("IRQL is " + std::to_string(Current().irql) + ", not passive");
  for (auto& [irp, info] : world.irps) {
    if (info.origin == IrpOrigin::User && info.state == IrpState::InFlight)
      problems.push_back("a request was never completed");
    if (info.origin == IrpOrigin::Driver) problems.push_back("a driver-allocated IRP was never freed");
    if (info.origin == IrpOrigin::PowerRequest || info.origin == IrpOrigin::Manager)
      problems.push_back("a plug-and-play or power request was never completed");
  }
  if (!world.dpcs.empty()) problems.push_back(std::to_string(world.dpcs.size()) + " DPC(s) still queued");
  if (!world.timers.empty()) problems.push_back(std::to_string(world.timers.size()) + " timer(s) still armed");
  if (!world.deferred.empty())
    problems.push_back(std::to_string(world.deferred.size()) + " deferred work item(s) left");
  for (auto& [device, record] : world.devices)
    if (!record.physical) problems.push_back("device object " + Narrow(record.name) + " was never deleted");
  return problems;
}

void StartThreads() {
  World& world = TheWorld();
  {
    auto lock = Lock();
    if (world.threaded) return;
    world.realBase = world.now;
    world.realStart = std::chrono::steady_clock::now();
    world.threaded = true;
    world.stopping = false;
  }
  world.worker = std::thread(WorkerLoop);
}

void StopThreads() {
  World& world = TheWorld();
  {
    auto lock = Lock();
    if (!world.threaded) return;
    world.stopping = true;
    world.changed.notify_all();
  }
  world.worker.join();
  auto lock = Lock();
  world.now = SystemTimeLocked(world);
  world.threaded = false;
  world.stopping = false;
}

bool Threaded() {
  auto lock = Lock();
  return TheWorld().threaded;
}

size_t RunDpcs() {
  size_t count = 0;
  while (RunOneDpc()) ++count;
  return count;
}

bool RunNextDpc() { return RunOneDpc(); }

size_t RunDeferred() {
  size_t count = 0;
  while (RunOneDeferred()) ++count;
  return count;
}

void RunUntilIdle() {
  while (RunDpcs() + RunDeferred() != 0) {
  }
}

void AdvanceTime(LONGLONG hundredNanoseconds) {
  auto lock = Lock();
  World& world = TheWorld();
  if (world.threaded) Bugcheck("AdvanceTime in threaded mode: the clock follows real time");
  AdvanceToLocked(world, world.now + hundredNanoseconds);
}

LONGLONG Now() {
  auto lock = Lock();
  return SystemTimeLocked(TheWorld());
}

void Defer(KIRQL irql, std::function<void()> work) {
  auto lock = Lock();
  World& world = TheWorld();
  world.deferred.push_back(Deferred{irql, std::move(work)});
  world.changed.notify_all();
}

void RunUntil(const std::function<bool()>& done, const char* what) {
  if (Threaded()) {
    auto limit = std::chrono::steady_clock::now() + kThreadedWaitLimit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) Bugcheck("waited a minute for %s", what);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return;
  }
  for (;;) {
    if (done()) return;
    if (RunOneDpc() || RunOneDeferred()) continue;
    auto lock = Lock();
    World& world = TheWorld();
    auto next = NextTimerDueLocked(world);
    if (!next) Bugcheck("%s can never happen: no DPC, deferred work or timer is left", what);
    AdvanceToLocked(world, *next);
  }
}

bool RunUntilFor(const std::function<bool()>& done, LONGLONG timeout) {
  LONGLONG deadline = Now() + timeout;
  if (Threaded()) {
    while (!done()) {
      if (Now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  for (;;) {
    if (done()) return true;
    if (RunOneDpc() || RunOneDeferred()) continue;
    auto lock = Lock();
    World& world = TheWorld();
    auto next = NextTimerDueLocked(world);
    if (!next || *next > deadline) {
      AdvanceToLocked(world, deadline);
      lock.unlock();
      return done();
    }
    AdvanceToLocked(world, *next);
  }
}

void FailPoolAllocations(PoolFailure rule) {
  auto lock = Lock();
  TheWorld().poolFailures.push_back(rule);
}

void SetLargestPoolBlock(SIZE_T bytes) {
  auto lock = Lock();
  TheWorld().largestPoolBlock = bytes;
}

void SetSystemSize(MM_SYSTEMSIZE size) {
  auto lock = Lock();
  TheWorld().systemSize = size;
}

void FailCall(const std::string& name, NTSTATUS status, int skip, int count) {
  auto lock = Lock();
  TheWorld().callFailures.push_back(CallFailure{name, status, skip, count});
}

std::vector<std::string> DebugLog() {
  auto lock = Lock();
  return TheWorld().debugLog;
}

size_t CountDebugLines(const std::string& text) {
  auto lock = Lock();
  auto& log = TheWorld().debugLog;
  return size_t(std::count(log.begin(), log.end(), text));
}

void ClearDebugLog() {
  auto lock = Lock();
  TheWorld().debugLog.clear();
}

std::vector<std::string> CallLog() {
  auto lock = Lock();
  return TheWorld().callLog;
}

void ClearCallLog() {
  auto lock = Lock();
  TheWorld().callLog.clear();
}

void SetBeforeCancelHook(std::function<void(PIRP)> hook) {
  auto lock = Lock();
  TheWorld().beforeCancel = std::move(hook);
}

void NameExtensionLock(size_t offset, const std::string& name) {
  auto lock = Lock();
  TheWorld().lockNames[offset] = name;
}

KIRQL CurrentIrql() { return Current().irql; }

}  // namespace kemu

ULONG DbgPrint(PCSTR format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  static const bool echo = getenv("KEMU_DEBUG") != nullptr;
  if (echo) fputs(text, stderr);
  auto lock = kemu::detail::Lock();
  kemu::detail::TheWorld().debugLog.push_back(text);
  return 0;
}

void RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PCHAR message) {
  kemu::Bugcheck("assertion failed: %s (%s line %u)%s%s", static_cast<const char*>(failedAssertion),
                 static_cast<const char*>(fileName), lineNumber, message ? ": " : "", message ? message : "");
}
