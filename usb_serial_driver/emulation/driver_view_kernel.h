// The kernel's types, constants and calls under their Windows names, for building the driver as
// a Linux user-mode program in the tests. Member paths follow the DDK (the driver writes
// Irp->Tail.Overlay.ListEntry, Stack->Parameters.Others.Argument4, ...); layouts need not match.
// LONG and ULONG are 32-bit as on Windows; WCHAR is char16_t, so wide literals in the driver are
// written with KTEXT().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#define NTAPI
#define FASTCALL
#define IN
#define OUT
#define OPTIONAL
#define KTEXT(text) u##text

typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef const char* PCSTR;
typedef int8_t CCHAR;
typedef uint8_t UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, SIZE_T;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG ACCESS_MASK;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

#define TRUE 1
#define FALSE 0
#define MAXULONG 0xFFFFFFFFu
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

// ---- Status codes --------------------------------------------------------------------------
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_WAIT_0 = 0;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = (NTSTATUS)0x80000005u;
constexpr NTSTATUS STATUS_DEVICE_BUSY = (NTSTATUS)0x80000011u;
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = (NTSTATUS)0x8000001Au;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = (NTSTATUS)0xC0000001u;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000Du;
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = (NTSTATUS)0xC000000Eu;
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = (NTSTATUS)0xC0000010u;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = (NTSTATUS)0xC0000016u;
constexpr NTSTATUS STATUS_ACCESS_DENIED = (NTSTATUS)0xC0000022u;
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = (NTSTATUS)0xC0000023u;
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = (NTSTATUS)0xC0000033u;
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = (NTSTATUS)0xC0000034u;
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = (NTSTATUS)0xC0000035u;
constexpr NTSTATUS STATUS_DELETE_PENDING = (NTSTATUS)0xC0000056u;
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009Au;
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = (NTSTATUS)0xC000009Cu;
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = (NTSTATUS)0xC000009Du;
constexpr NTSTATUS STATUS_NOT_SUPPORTED = (NTSTATUS)0xC00000BBu;
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = (NTSTATUS)0xC0000103u;
constexpr NTSTATUS STATUS_CANCELLED = (NTSTATUS)0xC0000120u;
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = (NTSTATUS)0xC0000184u;

inline bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

// ---- Lists and strings ---------------------------------------------------------------------
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY flink = entry->Flink;
  PLIST_ENTRY blink = entry->Blink;
  blink->Flink = flink;
  flink->Blink = blink;
  return flink == blink;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY blink = head->Blink;
  entry->Flink = head;
  entry->Blink = blink;
  blink->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY flink = head->Flink;
  entry->Flink = flink;
  entry->Blink = head;
  flink->Blink = entry;
  head->Flink = entry;
}

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;

// ---- IRQL, memory, interlocked ---------------------------------------------------------------
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

inline void RtlZeroMemory(void* destination, SIZE_T length) { memset(destination, 0, length); }
inline void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill) { memset(destination, fill, length); }
inline void RtlCopyMemory(void* destination, const void* source, SIZE_T length) { memcpy(destination, source, length); }
inline void RtlMoveMemory(void* destination, const void* source, SIZE_T length) {
  memmove(destination, source, length);
}

inline LONG InterlockedIncrement(volatile LONG* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
// Flags that one context writes and another reads without a lock.
inline UCHAR ReadUCharAcquire(const volatile UCHAR* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WriteUCharRelease(volatile UCHAR* target, UCHAR value) {
  __atomic_store_n(target, value, __ATOMIC_RELEASE);
}
inline LONG ReadLongAcquire(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }

// ---- Kernel objects (their inner fields belong to the emulation) ----------------------------
struct _KDPC;
typedef void (*PKDEFERRED_ROUTINE)(struct _KDPC* dpc, PVOID context, PVOID argument1, PVOID argument2);

typedef struct _KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  LIST_ENTRY DpcListEntry;
  LONG Inserted;
} KDPC, *PKDPC;

typedef struct _KTIMER {
  LONGLONG DueTime;  // absolute, in the emulation's system time
  PKDPC Dpc;
  LIST_ENTRY TimerListEntry;
  LONG Inserted;
} KTIMER, *PKTIMER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef struct _KEVENT {
  LONG Type;
  LONG State;
} KEVENT, *PKEVENT;

typedef struct _FAST_MUTEX {
  ULONG_PTR Owner;
  KIRQL OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 } KPROCESSOR_MODE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef struct _KWAIT_BLOCK {
  PVOID Reserved[6];
} KWAIT_BLOCK, *PKWAIT_BLOCK;

// Flags such as POOL_QUOTA_FAIL_INSTEAD_OF_RAISE are ORed into a pool type, so the type holds any
// int (as the DDK's enumeration, whose values reach far beyond these two, does).
typedef enum _POOL_TYPE : int { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
constexpr ULONG POOL_QUOTA_FAIL_INSTEAD_OF_RAISE = 8;
typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem = 1, MmLargeSystem = 2 } MM_SYSTEMSIZE;

// ---- Power ---------------------------------------------------------------------------------
typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE;
#define POWER_SYSTEM_MAXIMUM 7

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
} DEVICE_POWER_STATE;

typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG Flags;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[POWER_SYSTEM_MAXIMUM];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---- Devices, drivers and requests ----------------------------------------------------------
struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* device, struct _IRP* irp);
typedef void (*PDRIVER_CANCEL)(struct _DEVICE_OBJECT* device, struct _IRP* irp);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* device, struct _IRP* irp, PVOID context);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* driver, struct _DEVICE_OBJECT* physical);
typedef void (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* driver);

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

constexpr ULONG FILE_DEVICE_SERIAL_PORT = 0x1B;
constexpr ULONG FILE_DEVICE_UNKNOWN = 0x22;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x100;
constexpr ULONG DO_BUFFERED_IO = 0x4;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x80;
constexpr ULONG DO_POWER_PAGABLE = 0x2000;
constexpr ULONG FILE_DIRECTORY_FILE = 0x1;
constexpr CCHAR IO_NO_INCREMENT = 0;
constexpr CCHAR IO_SERIAL_INCREMENT = 2;

typedef struct _IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _FILE_OBJECT {
  struct _DEVICE_OBJECT* DeviceObject;
  PVOID FsContext;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      ULONG ShutdownType;
    } Power;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  struct _DEVICE_OBJECT* DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  ULONG Flags;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CCHAR StackCount;
  CCHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  struct {
    struct {
      PVOID DriverContext[4];
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
} IRP, *PIRP;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef void (*PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                        PIO_STATUS_BLOCK ioStatus);

// ---- Registry ------------------------------------------------------------------------------
constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ACCESS_MASK STANDARD_RIGHTS_READ = 0x20000;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_DWORD = 4;
typedef enum _KEY_VALUE_INFORMATION_CLASS { KeyValuePartialInformation = 2 } KEY_VALUE_INFORMATION_CLASS;
typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// ---- Calls (emulated in the emulation's .cpp files) ------------------------------------------
// IRQL, spin locks, the cancel spin lock, fast mutexes
KIRQL KeGetCurrentIrql();
void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
void IoAcquireCancelSpinLock(PKIRQL oldIrql);
void IoReleaseCancelSpinLock(KIRQL newIrql);
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);

// Events and waits
void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait);
void KeClearEvent(PKEVENT event);
LONG KeResetEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON reason,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlocks);

// DPCs, timers, time
void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
BOOLEAN KeRemoveQueueDpc(PKDPC dpc);
void KeInitializeTimer(PKTIMER timer);
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
void KeQuerySystemTime(PLARGE_INTEGER currentTime);

// Pool
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE type, SIZE_T size, ULONG tag);
void ExFreePool(PVOID block);
void ExFreePoolWithTag(PVOID block, ULONG tag);
MM_SYSTEMSIZE MmQuerySystemSize();

// Requests
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void IoCompleteRequest(PIRP irp, CCHAR priorityBoost);
BOOLEAN IoCancelIrp(PIRP irp);
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (onError) next->Control |= SL_INVOKE_ON_ERROR;
  if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

// Devices, names, interfaces, registry
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
void IoDeleteDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
void IoDetachDevice(PDEVICE_OBJECT target);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physical, const GUID* interfaceClass, PUNICODE_STRING reference,
                                   PUNICODE_STRING symbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access, PHANDLE key);
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID information, ULONG length, PULONG resultLength);
NTSTATUS ZwClose(HANDLE handle);
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID data,
                               ULONG length);
NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName);

// Counted strings
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
void RtlFreeUnicodeString(PUNICODE_STRING string);

// Power
NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void PoStartNextPowerIrp(PIRP irp);
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                           PVOID context, PIRP* irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

// Debugger output
ULONG DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));

// Assertions, reported through RtlAssert as in a checked Windows build; the emulation ends the
// test there.
void RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PCHAR message);
#define ASSERT(exp) ((void)((exp) ? 0 : (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, nullptr), 0)))
