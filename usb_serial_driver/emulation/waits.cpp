// Events and waits. A deterministic wait drives the world (DPCs, deferred work, then the clock)
// until it is satisfied or times out, and ends the test when nothing could ever satisfy it. A
// threaded wait blocks, and ends the test after a minute.
#include "emulation_private.h"

namespace kemu::detail {

namespace {

constexpr auto kThreadedWaitLimit = std::chrono::seconds(60);

// Checks the wait and, when it is satisfied, consumes synchronization events as Windows does.
std::optional<NTSTATUS> SatisfiedLocked(ULONG count, PVOID objects[], WAIT_TYPE waitType) {
  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      auto event = static_cast<PKEVENT>(objects[i]);
      if (!event->State) continue;
      if (event->Type == SynchronizationEvent) event->State = 0;
      return STATUS_WAIT_0 + NTSTATUS(i);
    }
    return std::nullopt;
  }
  for (ULONG i = 0; i < count; ++i)
    if (!static_cast<PKEVENT>(objects[i])->State) return std::nullopt;
  for (ULONG i = 0; i < count; ++i) {
    auto event = static_cast<PKEVENT>(objects[i]);
    if (event->Type == SynchronizationEvent) event->State = 0;
  }
  return STATUS_WAIT_0;
}

NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE waitType, PLARGE_INTEGER timeout, const char* call) {
  bool poll = timeout && timeout->QuadPart == 0;
  if (!poll) RequireIrqlAtMost(APC_LEVEL, call);
  World& world = TheWorld();
  auto lock = Lock();
  std::optional<LONGLONG> deadline;
  if (timeout) {
    LONGLONG now = SystemTimeLocked(world);
    deadline = timeout->QuadPart < 0 ? now - timeout->QuadPart : timeout->QuadPart;
  }
  if (world.threaded) {
    auto limit = std::chrono::steady_clock::now() + kThreadedWaitLimit;
    for (;;) {
      if (auto status = SatisfiedLocked(count, objects, waitType)) return *status;
      if (deadline && SystemTimeLocked(world) >= *deadline) return STATUS_TIMEOUT;
      if (std::chrono::steady_clock::now() > limit) Bugcheck("%s waited a minute and never returned", call);
      world.changed.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  for (;;) {
    if (auto status = SatisfiedLocked(count, objects, waitType)) return *status;
    if (poll) return STATUS_TIMEOUT;
    lock.unlock();
    bool progressed = RunOneDpc() || RunOneDeferred();
    lock.lock();
    if (progressed) continue;
    auto next = NextTimerDueLocked(world);
    if (deadline && (!next || *next > *deadline)) {
      AdvanceToLocked(world, *deadline);
      if (auto status = SatisfiedLocked(count, objects, waitType)) return *status;
      return STATUS_TIMEOUT;
    }
    if (!next) Bugcheck("%s: wait can never end (no DPC, deferred work or timer is left to satisfy it)", call);
    AdvanceToLocked(world, *next);
  }
}

}  // namespace
}  // namespace kemu::detail

using namespace kemu::detail;

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  auto lock = Lock();
  event->Type = type;
  event->State = state ? 1 : 0;
}

LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait) {
  (void)increment;
  if (wait) kemu::Bugcheck("KeSetEvent with Wait = TRUE is not used by this driver");
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  auto lock = Lock();
  LONG previous = event->State;
  event->State = 1;
  TheWorld().changed.notify_all();
  return previous;
}

void KeClearEvent(PKEVENT event) {
  auto lock = Lock();
  event->State = 0;
}

LONG KeResetEvent(PKEVENT event) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  auto lock = Lock();
  LONG previous = event->State;
  event->State = 0;
  return previous;
}

LONG KeReadStateEvent(PKEVENT event) {
  auto lock = Lock();
  return event->State;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
  (void)reason, (void)mode, (void)alertable;
  PVOID objects[1] = {object};
  return Wait(1, objects, WaitAny, timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON reason,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlocks) {
  (void)reason, (void)mode, (void)alertable;
  if (!waitBlocks && count > 3)
    kemu::Bugcheck("KeWaitForMultipleObjects: %u objects need a wait-block array (3 at most without one)", count);
  return Wait(count, objects, waitType, timeout, "KeWaitForMultipleObjects");
}
