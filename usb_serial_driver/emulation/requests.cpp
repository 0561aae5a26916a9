// I/O request packets: stack locations, IoCallDriver, the completion walk (completion routines
// see the device object of their own level, null above a driver-allocated request, and
// STATUS_MORE_PROCESSING_REQUIRED stops the walk), cancellation, and the I/O manager's side of
// requests that applications send.
#include <atomic>
#include <cstdlib>

#include "emulation_private.h"

namespace kemu::detail {

IrpInfo& InfoOf(World& world, PIRP irp, const char* call) {
  auto it = world.irps.find(irp);
  if (it == world.irps.end()) Bugcheck("%s on an IRP that does not exist (already freed?)", call);
  return it->second;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin) {
  if (stackSize < 1) Bugcheck("an IRP needs at least one stack location");
  size_t bytes = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
  auto irp = static_cast<PIRP>(calloc(1, bytes));
  if (!irp) Bugcheck("the host is out of memory");
  auto stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = 6;
  irp->Size = USHORT(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CCHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  irp->IoStatus.Status = STATUS_SUCCESS;
  auto lock = Lock();
  IrpInfo info;
  info.origin = origin;
  TheWorld().irps[irp] = std::move(info);
  return irp;
}

// How deeply IoCallDriver calls nest on one thread: a driver whose completions start the next
// request inline would nest them, one kernel stack frame set per request.
std::atomic<int> deepestCallNesting{0};

void NoteCallNesting(int change) {
  thread_local int depth = 0;
  depth += change;
  int deepest = deepestCallNesting.load(std::memory_order_relaxed);
  while (depth > deepest && !deepestCallNesting.compare_exchange_weak(deepest, depth, std::memory_order_relaxed)) {
  }
}

void FreeIrpMemory(PIRP irp) {
  memset(irp, 0xDD, irp->Size);
  free(irp);
}

void ResetRequests(World& world) {
  deepestCallNesting = 0;
  for (auto& [irp, info] : world.irps) FreeIrpMemory(irp);
  world.irps.clear();
}

namespace {

PDEVICE_OBJECT DeviceOfCurrentLocation(PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount) return nullptr;
  return IoGetCurrentIrpStackLocation(irp)->DeviceObject;
}

// Past the top of the stack: what the I/O manager, or the manager that sent it, does.
void FinishAtTop(PIRP irp) {
  std::function<void(PIRP)> finish;
  {
    auto lock = Lock();
    IrpInfo& info = InfoOf(TheWorld(), irp, "IoCompleteRequest");
    if (info.origin == IrpOrigin::Driver)
      Bugcheck(
          "an IRP a driver allocated was completed past the top of its stack: its completion routine "
          "must return STATUS_MORE_PROCESSING_REQUIRED");
    if (info.majorKnown && info.major == IRP_MJ_POWER) {
      if (info.startNextPowerCalls != info.levels)
        Bugcheck("a power IRP was completed after %d PoStartNextPowerIrp call(s) by %d driver(s)",
                 info.startNextPowerCalls, info.levels);
    }
    info.state = IrpState::Completed;
    info.completions++;
    finish = info.onTopCompletion;
  }
  if (finish) finish(irp);
}

void SetState(PIRP irp, IrpState state) {
  auto lock = Lock();
  InfoOf(TheWorld(), irp, "IoCompleteRequest").state = state;
}

}  // namespace
}  // namespace kemu::detail

using namespace kemu::detail;

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
  (void)chargeQuota;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (InjectedFailure("IoAllocateIrp")) return nullptr;
  return AllocateIrp(stackSize, IrpOrigin::Driver);
}

void IoFreeIrp(PIRP irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  {
    auto lock = Lock();
    World& world = TheWorld();
    IrpInfo& info = InfoOf(world, irp, "IoFreeIrp");
    if (info.origin != IrpOrigin::Driver) kemu::Bugcheck("IoFreeIrp of an IRP the driver did not allocate");
    if (info.state == IrpState::InFlight) kemu::Bugcheck("IoFreeIrp of an IRP a lower driver still holds");
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE))
      kemu::Bugcheck("IoFreeIrp of an IRP that still has a cancel routine");
    world.irps.erase(irp);
  }
  FreeIrpMemory(irp);
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  {
    auto lock = Lock();
    World& world = TheWorld();
    if (!world.devices.count(device)) kemu::Bugcheck("IoCallDriver to a device object that does not exist");
    IrpInfo& info = InfoOf(world, irp, "IoCallDriver");
    if (info.state == IrpState::Completed) kemu::Bugcheck("IoCallDriver with an IRP that was already completed");
    info.state = IrpState::InFlight;
    if (irp->CurrentLocation - 1 <= 0) kemu::Bugcheck("NO_MORE_IRP_STACK_LOCATIONS");
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    if (!info.majorKnown) {
      info.major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
      info.majorKnown = true;
    }
    info.levels++;
  }
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = device;
  UCHAR major = location->MajorFunction;
  KIRQL irql = Current().irql;
  size_t held = Current().held.size();
  NoteCallNesting(+1);
  NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);
  NoteCallNesting(-1);
  if (Current().irql != irql)
    kemu::Bugcheck("the dispatch routine for major function 0x%x returned at IRQL %d, entered at %d", major,
                   Current().irql, irql);
  if (Current().held.size() != held)
    kemu::Bugcheck("the dispatch routine for major function 0x%x returned holding a lock", major);
  return status;
}

void IoCompleteRequest(PIRP irp, CCHAR priorityBoost) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  {
    auto lock = Lock();
    IrpInfo& info = InfoOf(TheWorld(), irp, "IoCompleteRequest");
    if (info.state == IrpState::Completed) kemu::Bugcheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    info.state = IrpState::InFlight;
    info.boost = priorityBoost;
    info.completionStarted = true;
    info.markedAtCompletion = (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
  }
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE))
    kemu::Bugcheck("CANCEL_STATE_IN_COMPLETED_IRP: a request completed with a cancel routine set");
  if (irp->IoStatus.Status == STATUS_PENDING) kemu::Bugcheck("a request completed with STATUS_PENDING");

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       ++location, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = irp->IoStatus.Status;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    bool invoke = routine && ((NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL)));
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    if (invoke) {
      // The routine may free the IRP, but only if it then stops the walk.
      SetState(irp, IrpState::Idle);
      if (routine(DeviceOfCurrentLocation(irp), irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
      auto lock = Lock();
      if (!TheWorld().irps.count(irp))
        kemu::Bugcheck("a completion routine freed its IRP without returning STATUS_MORE_PROCESSING_REQUIRED");
      TheWorld().irps[irp].state = IrpState::InFlight;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  FinishAtTop(irp);
}

BOOLEAN IoCancelIrp(PIRP irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  std::function<void(PIRP)> hook;
  {
    auto lock = Lock();
    InfoOf(TheWorld(), irp, "IoCancelIrp");
    hook = TheWorld().beforeCancel;
  }
  if (hook) hook(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);  // read by the bus under its own lock
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  routine(DeviceOfCurrentLocation(irp), irp);
  if (CancelSpinLockHeldByCurrent()) kemu::Bugcheck("a cancel routine returned holding the cancel spin lock");
  if (Current().irql != irql)
    kemu::Bugcheck("a cancel routine returned at IRQL %d instead of %d", Current().irql, irql);
  return TRUE;
}

namespace kemu {

int DeepestCallNesting() { return detail::deepestCallNesting.exchange(0); }

size_t IrpsInUse() {
  auto lock = detail::Lock();
  size_t count = 0;
  for (auto& [irp, info] : detail::TheWorld().irps)
    if (info.origin == detail::IrpOrigin::Driver) ++count;
  return count;
}

Request::Request(PDEVICE_OBJECT device, UCHAR major, ULONG bufferLength)
    : device_(device), irp_(AllocateIrp(device->StackSize, IrpOrigin::User)) {
  IoGetNextIrpStackLocation(irp_)->MajorFunction = major;
  if (bufferLength) {
    auto lock = Lock();
    IrpInfo& info = TheWorld().irps[irp_];
    info.buffer.assign(bufferLength, 0);
    irp_->AssociatedIrp.SystemBuffer = info.buffer.data();
  }
}

Request::Request(Request&& other) noexcept : device_(other.device_), irp_(other.irp_) { other.irp_ = nullptr; }

Request::~Request() {
  if (!irp_) return;
  auto lock = Lock();
  World& world = TheWorld();
  auto it = world.irps.find(irp_);
  if (it == world.irps.end() || it->second.state == IrpState::InFlight) return;  // reported by Problems()
  world.irps.erase(it);
  FreeIrpMemory(irp_);
}

Request Request::Create(PDEVICE_OBJECT device, ULONG options) {
  Request request(device, IRP_MJ_CREATE, 0);
  IoGetNextIrpStackLocation(request.irp_)->Parameters.Create.Options = options;
  return request;
}

Request Request::Close(PDEVICE_OBJECT device) { return Request(device, IRP_MJ_CLOSE, 0); }

Request Request::Cleanup(PDEVICE_OBJECT device) { return Request(device, IRP_MJ_CLEANUP, 0); }

Request Request::Read(PDEVICE_OBJECT device, ULONG length) {
  Request request(device, IRP_MJ_READ, length);
  IoGetNextIrpStackLocation(request.irp_)->Parameters.Read.Length = length;
  return request;
}

Request Request::Write(PDEVICE_OBJECT device, const std::vector<UCHAR>& data) {
  Request request(device, IRP_MJ_WRITE, ULONG(data.size()));
  if (!data.empty()) memcpy(request.irp_->AssociatedIrp.SystemBuffer, data.data(), data.size());
  IoGetNextIrpStackLocation(request.irp_)->Parameters.Write.Length = ULONG(data.size());
  return request;
}

Request Request::Flush(PDEVICE_OBJECT device) { return Request(device, IRP_MJ_FLUSH_BUFFERS, 0); }

Request Request::DeviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<UCHAR>& input, ULONG outputLength,
                               bool internal) {
  ULONG length = std::max<ULONG>(ULONG(input.size()), outputLength);
  Request request(device, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, length);
  if (!input.empty()) memcpy(request.irp_->AssociatedIrp.SystemBuffer, input.data(), input.size());
  auto& parameters = IoGetNextIrpStackLocation(request.irp_)->Parameters.DeviceIoControl;
  parameters.IoControlCode = code;
  parameters.InputBufferLength = ULONG(input.size());
  parameters.OutputBufferLength = outputLength;
  return request;
}

Request Request::Other(PDEVICE_OBJECT device, UCHAR major) { return Request(device, major, 0); }

NTSTATUS Request::Send() {
  RequireIrqlExactly(PASSIVE_LEVEL, "a request from an application");
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp_);
  NTSTATUS status = IoCallDriver(device_, irp_);
  auto lock = Lock();
  IrpInfo& info = InfoOf(TheWorld(), irp_, "Request::Send");
  bool completed = info.state == IrpState::Completed;
  // Another thread may be walking the completion right now, rewriting the stack locations.
  bool marked = completed                ? irp_->PendingReturned
                : info.completionStarted ? info.markedAtCompletion
                                         : (location->Control & SL_PENDING_RETURNED) != 0;
  if (status == STATUS_PENDING) {
    if (!marked) Bugcheck("a dispatch routine returned STATUS_PENDING without marking the request pending");
  } else {
    if (!completed) Bugcheck("a dispatch routine returned 0x%x without completing the request", unsigned(status));
    if (marked) Bugcheck("a dispatch routine marked the request pending but returned 0x%x", unsigned(status));
    if (status != irp_->IoStatus.Status)
      Bugcheck("a dispatch routine returned 0x%x but completed the request with 0x%x", unsigned(status),
               unsigned(irp_->IoStatus.Status));
  }
  return status;
}

bool Request::Completed() const {
  auto lock = Lock();
  return InfoOf(TheWorld(), irp_, "Request::Completed").state == IrpState::Completed;
}

NTSTATUS Request::Status() const {
  auto lock = Lock();
  return irp_->IoStatus.Status;
}

ULONG_PTR Request::Information() const {
  auto lock = Lock();
  return irp_->IoStatus.Information;
}

CCHAR Request::Boost() const {
  auto lock = Lock();
  return InfoOf(TheWorld(), irp_, "Request::Boost").boost;
}

std::vector<UCHAR> Request::Output() const {
  auto lock = Lock();
  return InfoOf(TheWorld(), irp_, "Request::Output").buffer;
}

BOOLEAN Request::Cancel() { return IoCancelIrp(irp_); }

void Request::OnCompleted(std::function<void()> callback) {
  auto lock = Lock();
  InfoOf(TheWorld(), irp_, "Request::OnCompleted").onTopCompletion = [callback = std::move(callback)](PIRP) {
    callback();
  };
}

}  // namespace kemu
