#include "serial_timeouts.h"

namespace quenta {

namespace {

constexpr ULONGLONG LongestTimeout = 1ull << 62;

}  // namespace

LARGE_INTEGER TotalTimeout(ULONG multiplier, ULONG count, ULONG constant) {
  // At most (2^32 - 1)^2 + 2^32 - 1 ms: fits 64 unsigned bits before the scaling.
  ULONGLONG milliseconds = ULONGLONG(multiplier) * count + constant;
  ULONGLONG units = milliseconds > LongestTimeout / HundredNanosecondsPerMillisecond
                        ? LongestTimeout
                        : milliseconds * HundredNanosecondsPerMillisecond;
  LARGE_INTEGER due;
  due.QuadPart = -LONGLONG(units);
  return due;
}

BOOLEAN WriteTotalTimeout(PortExtension* port, ULONG count, LARGE_INTEGER* due) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  ULONG multiplier = port->Timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = port->Timeouts.WriteTotalTimeoutConstant;
  KeReleaseSpinLock(&port->ControlLock, irql);
  if (!multiplier && !constant) return FALSE;
  *due = TotalTimeout(multiplier, count, constant);
  return TRUE;
}

ReadTimeoutPlan PlanRead(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  ReadTimeoutPlan plan = {};
  ULONG interval = timeouts.ReadIntervalTimeout;
  ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  ULONG constant = timeouts.ReadTotalTimeoutConstant;
  if (interval != 0 && interval != MAXULONG) {
    plan.UseIntervalTimer = TRUE;
    plan.Interval.QuadPart = LONGLONG(interval) * HundredNanosecondsPerMillisecond;
  }
  if (interval == MAXULONG) {
    if (multiplier == 0 && constant == 0) {
      plan.ReturnAtOnce = TRUE;
    } else if (constant != MAXULONG) {
      plan.ReturnWhenAny = TRUE;
      plan.UseTotalTimer = TRUE;
      if (multiplier == MAXULONG) {
        plan.CutToOneByte = TRUE;
        multiplier = 0;
      }
    }
  } else if (multiplier != 0 || constant != 0) {
    plan.UseTotalTimer = TRUE;
  }
  // A read cut down to one byte waits for that byte, with M counting as 0.
  if (plan.UseTotalTimer) plan.Total = TotalTimeout(multiplier, plan.CutToOneByte ? 1 : length, constant);
  return plan;
}

}  // namespace quenta
