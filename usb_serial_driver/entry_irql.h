// The IRQL each kind of driver routine is entered at, checked first thing in every one: with
// the kernel's ASSERT on Windows (it reports in checked builds), with the emulation's check in
// the tests, which ends the test.
#pragma once

#include "kernel.h"

namespace quenta {

// Dispatch routines run in the caller's thread and may wait.
inline void AssertDispatchEntry() { ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL); }
// DPC routines, and cancel routines (entered holding the cancel spin lock).
inline void AssertDpcEntry() { ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL); }
inline void AssertCancelEntry() { ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL); }
// Completion routines and power-request callbacks: any processor, up to DISPATCH_LEVEL.
inline void AssertCompletionEntry() { ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL); }

}  // namespace quenta
