// The one request every communication call is made of: a device control on the port, sent and
// waited for even on an overlapped handle, as kernel32's own synchronous calls do.
#pragma once

#include "user_half.h"

namespace k32::detail {

// Sends the control with `input` and takes up to outputSize bytes of answer into `output`. TRUE
// when it succeeded; FALSE with the last error set otherwise.
BOOL Control(const std::shared_ptr<File>& file, uint32_t code, const void* input, DWORD inputSize,
             void* output = nullptr, DWORD outputSize = 0);

template <typename T>
BOOL ControlIn(const std::shared_ptr<File>& file, uint32_t code, const T& value)
{
    return Control(file, code, &value, sizeof value);
}

template <typename T>
BOOL ControlOut(const std::shared_ptr<File>& file, uint32_t code, T& value)
{
    return Control(file, code, nullptr, 0, &value, sizeof value);
}

// The port behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<File> PortOf(HANDLE handle);

}  // namespace k32::detail
