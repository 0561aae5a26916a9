// The device-control codes the fuzzer favours, each with the buffer lengths its request expects,
// so that inputs reach the serial requests and their length checks quickly; any other code still
// gets through (RequestCodes::Pick).
#pragma once

#include "action_reader.h"
#include "kernel.h"

namespace quenta_fuzz {

struct RequestCode {
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
};

// A code (known most of the time, else any 32-bit value) and the lengths to send with it.
RequestCode PickDeviceControl(ActionReader& reader);
RequestCode PickInternalDeviceControl(ActionReader& reader);

}  // namespace quenta_fuzz
