// SERIAL_TIMEOUTS turned into the timers of a read or a write: times in 100 ns units, computed
// in 64 bits from milliseconds.
#pragma once

#include "port_extension.h"

namespace quenta {

constexpr LONGLONG HundredNanosecondsPerMillisecond = 10000;

// -(multiplier x count + constant) ms, a relative due time for KeSetTimer. A product too large
// for any timer is held at about fourteen thousand years instead of wrapping to a time that
// would fire at once.
LARGE_INTEGER TotalTimeout(ULONG multiplier, ULONG count, ULONG constant);

// Whether the port's write time-outs, as they stand now, give a transmit of count bytes a total
// timer, and its relative due time in *due. Takes ControlLock. IRQL: <= DISPATCH_LEVEL, called
// with no lock held.
BOOLEAN WriteTotalTimeout(PortExtension* port, ULONG count, LARGE_INTEGER* due);

// How a read of length bytes waits under the port's time-outs.
struct ReadTimeoutPlan {
  BOOLEAN ReturnAtOnce;   // with what the ring holds, possibly nothing
  BOOLEAN ReturnWhenAny;  // at once when the ring holds at least one byte
  BOOLEAN CutToOneByte;   // a read that has to wait waits for one byte only
  BOOLEAN UseTotalTimer;
  BOOLEAN UseIntervalTimer;  // measured from the first byte of the read
  LARGE_INTEGER Total;       // relative due time of the total timer
  LARGE_INTEGER Interval;    // the longest gap between two bytes, 100 ns units
};

// The cases, by ReadIntervalTimeout (RI), ReadTotalTimeoutMultiplier (M) and
// ReadTotalTimeoutConstant (C):
//   RI = MAXULONG, M = C = 0              return at once with what is there
//   RI = MAXULONG, C = MAXULONG           no timer: wait until the read is full
//   RI = MAXULONG otherwise               return at once if anything is there; else the total
//                                         timer (M = MAXULONG counts as 0, and then the read is
//                                         cut down to one byte)
//   RI = 0 or RI = MAXULONG excluded      no interval timer; otherwise RI ms between bytes
//   RI != MAXULONG                        the total timer unless M = C = 0
ReadTimeoutPlan PlanRead(const SERIAL_TIMEOUTS& timeouts, ULONG length);

}  // namespace quenta
