// The handle table, the last error, CloseHandle, and the lock and condition every object uses.
#include <map>

#include "kernel32_controls.h"
#include "user_half.h"

namespace k32 {

namespace detail {

namespace {

struct Table {
    std::map<HANDLE, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x100;
};

// Apart from the objects lock: a completion may change an object while the table is in use.
std::mutex& TableMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

Table& TheTable()
{
    static Table* table = new Table;  // never destroyed: threads stopped at the end may hold handles
    return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

std::mutex& ObjectsMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::condition_variable& ObjectsChanged()
{
    static std::condition_variable* changed = new std::condition_variable;
    return *changed;
}

BOOL Fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

HANDLE Insert(std::shared_ptr<Object> object)
{
    const std::lock_guard lock(TableMutex());
    Table& table = TheTable();
    // Handles are multiples of four, as Windows' are; never null and never INVALID_HANDLE_VALUE.
    const auto handle = reinterpret_cast<HANDLE>(table.next);
    table.next += 4;
    table.objects[handle] = std::move(object);
    return handle;
}

std::shared_ptr<Object> Lookup(HANDLE handle)
{
    const std::lock_guard lock(TableMutex());
    const auto it = TheTable().objects.find(handle);
    return it == TheTable().objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> Remove(HANDLE handle)
{
    const std::lock_guard lock(TableMutex());
    const auto it = TheTable().objects.find(handle);
    if (it == TheTable().objects.end()) {
        return nullptr;
    }
    std::shared_ptr<Object> object = std::move(it->second);
    TheTable().objects.erase(it);
    return object;
}

std::vector<HANDLE> EveryHandle()
{
    const std::lock_guard lock(TableMutex());
    std::vector<HANDLE> handles;
    for (const auto& [handle, object] : TheTable().objects) {
        handles.push_back(handle);
    }
    return handles;
}

}  // namespace detail

void CloseEveryHandle()
{
    for (HANDLE handle : detail::EveryHandle()) {
        std::shared_ptr<detail::Object> object = detail::Remove(handle);
        if (auto file = std::dynamic_pointer_cast<detail::File>(object)) {
            detail::CloseFile(file);
        }
    }
}

}  // namespace k32

using namespace k32::detail;

BOOL CloseHandle(HANDLE hObject)
{
    Enter();
    k32::TraceLine("CloseHandle");
    std::shared_ptr<Object> object = Remove(hObject);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (auto file = std::dynamic_pointer_cast<File>(object)) {
        CloseFile(file);
    }
    return TRUE;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}
