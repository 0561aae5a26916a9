// The NTSTATUS a driver completes a request with, as the Win32 error code kernel32 reports: the
// standard conversion's values for the statuses the kit's drivers and the I/O manager give.
#include "user_half.h"

namespace k32::detail {

DWORD ErrorFromStatus(int32_t status)
{
    switch (static_cast<uint32_t>(status)) {
        case 0x00000000:  // STATUS_SUCCESS
        case 0x00000102:  // STATUS_TIMEOUT
            return ERROR_SUCCESS;
        case 0x00000103:  // STATUS_PENDING
            return ERROR_IO_PENDING;
        case 0x80000005:  // STATUS_BUFFER_OVERFLOW
            return ERROR_MORE_DATA;
        case 0x80000011:  // STATUS_DEVICE_BUSY
            return ERROR_BUSY;
        case 0x8000001A:  // STATUS_NO_MORE_ENTRIES
            return ERROR_NO_MORE_ITEMS;
        case 0xC0000001:  // STATUS_UNSUCCESSFUL
            return ERROR_GEN_FAILURE;
        case 0xC000000D:  // STATUS_INVALID_PARAMETER
            return ERROR_INVALID_PARAMETER;
        case 0xC000000E:  // STATUS_NO_SUCH_DEVICE
            return ERROR_FILE_NOT_FOUND;
        case 0xC0000010:  // STATUS_INVALID_DEVICE_REQUEST
            return ERROR_INVALID_FUNCTION;
        case 0xC0000016:  // STATUS_MORE_PROCESSING_REQUIRED
            return ERROR_MORE_DATA;
        case 0xC0000022:  // STATUS_ACCESS_DENIED
        case 0xC0000056:  // STATUS_DELETE_PENDING
            return ERROR_ACCESS_DENIED;
        case 0xC0000023:  // STATUS_BUFFER_TOO_SMALL
            return ERROR_INSUFFICIENT_BUFFER;
        case 0xC0000033:  // STATUS_OBJECT_NAME_INVALID
            return ERROR_INVALID_NAME;
        case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
            return ERROR_FILE_NOT_FOUND;
        case 0xC0000035:  // STATUS_OBJECT_NAME_COLLISION
            return ERROR_ALREADY_EXISTS;
        case 0xC000009A:  // STATUS_INSUFFICIENT_RESOURCES
            return ERROR_NO_SYSTEM_RESOURCES;
        case 0xC000009C:  // STATUS_DEVICE_DATA_ERROR
            return ERROR_CRC;
        case 0xC000009D:  // STATUS_DEVICE_NOT_CONNECTED
            return ERROR_DEVICE_NOT_CONNECTED;
        case 0xC00000BB:  // STATUS_NOT_SUPPORTED
            return ERROR_NOT_SUPPORTED;
        case 0xC0000103:  // STATUS_NOT_A_DIRECTORY
            return ERROR_DIRECTORY;
        case 0xC0000120:  // STATUS_CANCELLED
            return ERROR_OPERATION_ABORTED;
        case 0xC0000184:  // STATUS_INVALID_DEVICE_STATE
            return ERROR_BAD_COMMAND;
        default:
            // What the conversion answers for a status it has no code for.
            return ERROR_MR_MID_NOT_FOUND;
    }
}

}  // namespace k32::detail
