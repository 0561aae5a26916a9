// A spin lock held for a scope, for the short reads and writes of settings and counters.
#pragma once

#include "kernel.h"

namespace quenta {

class SpinLockHeld {
 public:
  explicit SpinLockHeld(PKSPIN_LOCK lock) : lock_(lock) { KeAcquireSpinLock(lock, &irql_); }
  ~SpinLockHeld() { KeReleaseSpinLock(lock_, irql_); }
  SpinLockHeld(const SpinLockHeld&) = delete;
  SpinLockHeld& operator=(const SpinLockHeld&) = delete;

 private:
  PKSPIN_LOCK lock_;
  KIRQL irql_;
};

// Inside another spin lock, already at DISPATCH_LEVEL.
class SpinLockHeldAtDpcLevel {
 public:
  explicit SpinLockHeldAtDpcLevel(PKSPIN_LOCK lock) : lock_(lock) { KeAcquireSpinLockAtDpcLevel(lock); }
  ~SpinLockHeldAtDpcLevel() { KeReleaseSpinLockFromDpcLevel(lock_); }
  SpinLockHeldAtDpcLevel(const SpinLockHeldAtDpcLevel&) = delete;
  SpinLockHeldAtDpcLevel& operator=(const SpinLockHeldAtDpcLevel&) = delete;

 private:
  PKSPIN_LOCK lock_;
};

}  // namespace quenta
