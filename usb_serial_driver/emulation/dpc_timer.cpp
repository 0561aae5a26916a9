// DPCs and timers on the emulated clock. A timer that falls due leaves the timer queue and
// queues its DPC, so KeCancelTimer returns FALSE from then on even though the DPC has not run.
#include <algorithm>

#include "emulation_private.h"

namespace kemu::detail {

LONGLONG SystemTimeLocked(World& world) {
  if (!world.threaded) return world.now;
  auto elapsed = std::chrono::steady_clock::now() - world.realStart;
  return world.realBase + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

bool InsertDpcLocked(World& world, PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->Inserted) return false;
  dpc->Inserted = 1;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  world.dpcs.push_back(dpc);
  world.changed.notify_all();
  return true;
}

void FireDueTimersLocked(World& world) {
  LONGLONG now = SystemTimeLocked(world);
  std::vector<PKTIMER> due;
  for (PKTIMER timer : world.timers)
    if (timer->DueTime <= now) due.push_back(timer);
  std::stable_sort(due.begin(), due.end(), [](PKTIMER a, PKTIMER b) { return a->DueTime < b->DueTime; });
  for (PKTIMER timer : due) {
    world.timers.erase(std::find(world.timers.begin(), world.timers.end(), timer));
    timer->Inserted = 0;
    if (timer->Dpc) InsertDpcLocked(world, timer->Dpc, nullptr, nullptr);
  }
}

std::optional<LONGLONG> NextTimerDueLocked(World& world) {
  std::optional<LONGLONG> next;
  for (PKTIMER timer : world.timers)
    if (!next || timer->DueTime < *next) next = timer->DueTime;
  return next;
}

void AdvanceToLocked(World& world, LONGLONG time) {
  if (time > world.now) world.now = time;
  FireDueTimersLocked(world);
}

bool RunOneDpc() {
  PKDPC dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, argument1, argument2;
  {
    auto lock = Lock();
    World& world = TheWorld();
    if (world.dpcs.empty()) return false;
    dpc = world.dpcs.front();
    world.dpcs.pop_front();
    world.runningDpcs++;
    dpc->Inserted = 0;
    routine = dpc->DeferredRoutine;
    context = dpc->DeferredContext;
    argument1 = dpc->SystemArgument1;
    argument2 = dpc->SystemArgument2;
  }
  RunInContext(DISPATCH_LEVEL, "a DPC routine", [&] { routine(dpc, context, argument1, argument2); });
  auto lock = Lock();
  TheWorld().runningDpcs--;
  return true;
}

void CheckNoKernelObjectsIn(const void* begin, SIZE_T size, const char* what) {
  auto lock = Lock();
  World& world = TheWorld();
  auto inside = [&](const void* object) {
    auto address = static_cast<const char*>(object);
    auto start = static_cast<const char*>(begin);
    return address >= start && address < start + size;
  };
  for (PKDPC dpc : world.dpcs)
    if (inside(dpc)) Bugcheck("%s frees memory that holds a queued DPC", what);
  for (PKTIMER timer : world.timers)
    if (inside(timer)) Bugcheck("%s frees memory that holds an armed timer", what);
}

}  // namespace kemu::detail

namespace kemu {

size_t QueuedDpcCount() {
  auto lock = detail::Lock();
  return detail::TheWorld().dpcs.size();
}

bool DpcsIdle() {
  auto lock = detail::Lock();
  return detail::TheWorld().dpcs.empty() && detail::TheWorld().runningDpcs == 0;
}

void SetTimerResolution(LONGLONG hundredNanoseconds) {
  auto lock = detail::Lock();
  detail::TheWorld().timerResolution = hundredNanoseconds > 0 ? hundredNanoseconds : 1;
}

size_t ArmedTimerCount() {
  auto lock = detail::Lock();
  return detail::TheWorld().timers.size();
}

}  // namespace kemu

using namespace kemu::detail;

void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
  dpc->Inserted = 0;
}

BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (!dpc->DeferredRoutine) kemu::Bugcheck("KeInsertQueueDpc on a DPC that was never initialized");
  auto lock = Lock();
  return InsertDpcLocked(TheWorld(), dpc, argument1, argument2);
}

BOOLEAN KeRemoveQueueDpc(PKDPC dpc) {
  auto lock = Lock();
  World& world = TheWorld();
  if (!dpc->Inserted) return FALSE;
  world.dpcs.erase(std::find(world.dpcs.begin(), world.dpcs.end(), dpc));
  dpc->Inserted = 0;
  return TRUE;
}

void KeInitializeTimer(PKTIMER timer) {
  timer->DueTime = 0;
  timer->Dpc = nullptr;
  timer->Inserted = 0;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  auto lock = Lock();
  World& world = TheWorld();
  BOOLEAN wasArmed = timer->Inserted ? TRUE : FALSE;
  LONGLONG now = SystemTimeLocked(world);
  LONGLONG due = dueTime.QuadPart < 0 ? now - dueTime.QuadPart : dueTime.QuadPart;
  LONGLONG tick = world.timerResolution;
  timer->DueTime = due % tick ? due + (tick - due % tick) : due;
  timer->Dpc = dpc;
  if (!wasArmed) world.timers.push_back(timer);
  timer->Inserted = 1;
  world.changed.notify_all();
  return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  auto lock = Lock();
  World& world = TheWorld();
  if (!timer->Inserted) return FALSE;
  world.timers.erase(std::find(world.timers.begin(), world.timers.end(), timer));
  timer->Inserted = 0;
  return TRUE;
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  auto lock = Lock();
  currentTime->QuadPart = SystemTimeLocked(TheWorld());
}
