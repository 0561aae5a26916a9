// The buffer of a device-control request. The serial requests use the buffered method: one
// system buffer of max(input, output) bytes, holding the input on entry and taking the output.
// The dispatcher checks both lengths against the request's minimums before a handler reads or
// writes a structure, so In and Out never go past either.
#pragma once

#include "port_extension.h"
#include "spin_lock_held.h"

namespace quenta {

struct ControlBuffer {
  PUCHAR Data;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG_PTR Information;  // bytes of output, for a request that succeeds

  template <typename T>
  T In() const {
    T value;
    RtlCopyMemory(&value, Data, sizeof value);
    return value;
  }
  template <typename T>
  void Out(const T& value) {
    RtlCopyMemory(Data, &value, sizeof value);
    Information = sizeof value;
  }
};

// Answers with a copy of a setting or counter taken under the lock that guards it.
template <typename T>
NTSTATUS AnswerWithCopy(PKSPIN_LOCK lock, const T& value, ControlBuffer& io) {
  T copy;
  {
    SpinLockHeld held(lock);
    copy = value;
  }
  io.Out(copy);
  return STATUS_SUCCESS;
}

// Stores a setting under the lock that guards it.
template <typename T>
NTSTATUS StoreUnder(PKSPIN_LOCK lock, T& setting, const T& value) {
  SpinLockHeld held(lock);
  setting = value;
  return STATUS_SUCCESS;
}

// A device-control request's own work, once its buffer lengths and power state are right.
// Returns its status; the dispatcher completes the request with it.
typedef NTSTATUS (*ControlHandler)(PortExtension* port, ControlBuffer& io);

}  // namespace quenta
