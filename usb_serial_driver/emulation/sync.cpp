// IRQL, spin locks, the cancel spin lock and fast mutexes, with the checks Windows makes (or
// that would deadlock there): IRQL rules, recursive acquisition, release by a non-owner, and
// the order in which locks are nested (recorded per lock class, like lockdep).
#include <cinttypes>

#include "emulation_private.h"

namespace kemu::detail {

namespace {

KSPIN_LOCK cancelSpinLock;
constexpr auto kSpinLimit = std::chrono::seconds(20);

std::string LockClassLocked(World& world, const void* lock) {
  if (lock == &cancelSpinLock) return "the cancel spin lock";
  auto address = reinterpret_cast<const char*>(lock);
  for (auto& [device, record] : world.devices) {
    auto begin = static_cast<const char*>(device->DeviceExtension);
    if (begin && address >= begin && address < begin + record.extensionSize) {
      size_t offset = size_t(address - begin);
      auto name = world.lockNames.find(offset);
      if (name != world.lockNames.end()) return name->second;
      return "device-extension lock at offset " + std::to_string(offset);
    }
  }
  char text[64];
  snprintf(text, sizeof text, "lock at %p", lock);
  return text;
}

void NoteAcquired(const void* lock) {
  Context& context = Current();
  {
    auto guard = Lock();
    World& world = TheWorld();
    std::string taken = LockClassLocked(world, lock);
    for (const void* held : context.held) {
      std::string outer = LockClassLocked(world, held);
      if (outer == taken) continue;
      if (world.lockOrder.count({taken, outer}))
        Bugcheck("lock order inversion: %s taken while holding %s, and elsewhere the other way round", taken.c_str(),
                 outer.c_str());
      world.lockOrder.insert({outer, taken});
    }
    world.locksHeld++;
  }
  context.held.push_back(lock);
}

void NoteReleased(const void* lock, const char* what) {
  Context& context = Current();
  for (auto it = context.held.begin(); it != context.held.end(); ++it) {
    if (*it != lock) continue;
    context.held.erase(it);
    auto guard = Lock();
    TheWorld().locksHeld--;
    return;
  }
  Bugcheck("%s released by a context that does not hold it", what);
}

bool ThreadedMode() {
  auto guard = Lock();
  return TheWorld().threaded;
}

void AcquireWord(volatile ULONG_PTR* word, const char* what) {
  ULONG_PTR me = CurrentToken();
  ULONG_PTR owner = __atomic_load_n(word, __ATOMIC_ACQUIRE);
  if (owner == me) Bugcheck("%s acquired again by the context that holds it: deadlock", what);
  if (owner != 0 && !ThreadedMode())
    Bugcheck("%s is held by a context that cannot run before this one finishes: deadlock", what);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(word, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    if (std::chrono::steady_clock::now() - start > kSpinLimit) Bugcheck("waited 20 s for %s: deadlock", what);
    std::this_thread::yield();
  }
}

void ReleaseWord(volatile ULONG_PTR* word, const char* what) {
  if (__atomic_load_n(word, __ATOMIC_RELAXED) != CurrentToken())
    Bugcheck("%s released by a context that does not hold it", what);
  __atomic_store_n(word, ULONG_PTR(0), __ATOMIC_RELEASE);
}

}  // namespace

void RequireIrqlAtMost(KIRQL level, const char* call) {
  if (Current().irql > level)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL: %s called at IRQL %d (at most %d allowed)", call, Current().irql, level);
}

void RequireIrqlExactly(KIRQL level, const char* call) {
  if (Current().irql != level) Bugcheck("%s called at IRQL %d (must be %d)", call, Current().irql, level);
}

KIRQL RaiseIrql(KIRQL level) {
  KIRQL old = Current().irql;
  if (level < old) Bugcheck("IRQL raised from %d to the lower %d", old, level);
  Current().irql = level;
  return old;
}

void LowerIrql(KIRQL level) {
  if (level > Current().irql) Bugcheck("IRQL lowered from %d to the higher %d", Current().irql, level);
  Current().irql = level;
}

}  // namespace kemu::detail

using namespace kemu::detail;

KIRQL KeGetCurrentIrql() { return Current().irql; }

void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
  KIRQL old = RaiseIrql(DISPATCH_LEVEL);
  AcquireWord(lock, "a spin lock");
  NoteAcquired(lock);
  *oldIrql = old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  RequireIrqlExactly(DISPATCH_LEVEL, "KeReleaseSpinLock");
  NoteReleased(lock, "a spin lock");
  ReleaseWord(lock, "a spin lock");
  LowerIrql(newIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  RequireIrqlExactly(DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel");
  AcquireWord(lock, "a spin lock");
  NoteAcquired(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  RequireIrqlExactly(DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel");
  NoteReleased(lock, "a spin lock");
  ReleaseWord(lock, "a spin lock");
}

void IoAcquireCancelSpinLock(PKIRQL oldIrql) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
  KIRQL old = RaiseIrql(DISPATCH_LEVEL);
  AcquireWord(&cancelSpinLock, "the cancel spin lock");
  NoteAcquired(&cancelSpinLock);
  *oldIrql = old;
}

void IoReleaseCancelSpinLock(KIRQL newIrql) {
  RequireIrqlExactly(DISPATCH_LEVEL, "IoReleaseCancelSpinLock");
  NoteReleased(&cancelSpinLock, "the cancel spin lock");
  ReleaseWord(&cancelSpinLock, "the cancel spin lock");
  LowerIrql(newIrql);
}

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  mutex->Owner = 0;
  mutex->OldIrql = PASSIVE_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  AcquireWord(&mutex->Owner, "a fast mutex");
  NoteAcquired(mutex);
  mutex->OldIrql = RaiseIrql(APC_LEVEL);
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  RequireIrqlExactly(APC_LEVEL, "ExReleaseFastMutex");
  KIRQL old = mutex->OldIrql;
  NoteReleased(mutex, "a fast mutex");
  ReleaseWord(&mutex->Owner, "a fast mutex");
  LowerIrql(old);
}

namespace kemu::detail {
bool CancelSpinLockHeldByCurrent() { return __atomic_load_n(&cancelSpinLock, __ATOMIC_RELAXED) == CurrentToken(); }
}  // namespace kemu::detail

namespace kemu::detail {
void ResetSync() { cancelSpinLock = 0; }
}  // namespace kemu::detail
