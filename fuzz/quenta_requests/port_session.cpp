#include "port_session.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "driver_entry.h"
#include "port_extension.h"
#include "request_codes.h"

namespace quenta_fuzz {

namespace {

// Enough for any sequence the corpus needs; more only costs time per input.
constexpr int kMostActions = 400;
// Read and write lengths reach past the ring and the 2048-byte transfers without costing much.
constexpr std::uint32_t kLongestData = 1u << 16;
// The pool gives no block larger than this (a serial queue size may ask for up to 4 GiB).
constexpr SIZE_T kLargestPoolBlock = 1u << 20;

NTSTATUS PickStatus(ActionReader& reader)
{
    static constexpr NTSTATUS kStatuses[] = {
        STATUS_SUCCESS,        STATUS_CANCELLED,         STATUS_UNSUCCESSFUL,      STATUS_DEVICE_NOT_CONNECTED,
        STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_DATA_ERROR, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES};
    std::uint8_t choice = reader.Byte();
    if (choice >= 248)
        return NTSTATUS(reader.Ulong());
    return kStatuses[choice % std::size(kStatuses)];
}

USBD_STATUS PickUrbStatus(ActionReader& reader)
{
    static constexpr USBD_STATUS kStatuses[] = {USBD_STATUS_SUCCESS, USBD_STATUS_STALL_PID,
                                                USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_CANCELED,
                                                USBD_STATUS_DEVICE_GONE};
    std::uint8_t choice = reader.Byte();
    if (choice >= 248)
        return USBD_STATUS(reader.Ulong());
    return kStatuses[choice % std::size(kStatuses)];
}

LONGLONG PickDuration(ActionReader& reader)
{
    switch (reader.Byte() % 4) {
        case 0:
            return kemu::kWindowsClockTick * (1 + reader.Byte() % 8);
        case 1:
            return 10000LL * reader.Byte();  // milliseconds
        case 2:
            return 10000000LL * (1 + reader.Byte() % 16);  // seconds
        default:
            return reader.Ulong();
    }
}

std::string Hex(unsigned long value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

}  // namespace

PortSession::PortSession()
{
    kemu::Reset();
    kemu::SetBugcheckHandler([this](const std::string& text) { Fail("emulated bugcheck: " + text); });
    kemu::SetTimerResolution(kemu::kWindowsClockTick);
    kemu::SetLargestPoolBlock(kLargestPoolBlock);
    kemu::NameExtensionLock(offsetof(quenta::PortExtension, ControlLock), "ControlLock");
    kemu::NameExtensionLock(offsetof(quenta::PortExtension, FlagsLock), "FlagsLock");
    kemu::NameExtensionLock(offsetof(quenta::PortExtension, ReceiveLock), "ReceiveLock");
    kemu::NameExtensionLock(offsetof(quenta::PortExtension, OpenMutex), "OpenMutex");
    kemu::NameExtensionLock(offsetof(quenta::PortExtension, CloseMutex), "CloseMutex");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = kemu::LoadDriver(DriverEntry, u"Quenta", &status);
    if (!NT_SUCCESS(status))
        Fail("the driver did not load: " + Hex(ULONG(status)));
    handset_ = std::make_unique<kemu::UsbHandset>();
    kemu::SetDeviceString(handset_->Pdo(), u"PortName", u"COM5");
    if (kemu::AddDevice(driver_, handset_->Pdo()) != STATUS_SUCCESS)
        Fail("AddDevice failed");
    if (kemu::StartDevice(handset_->Pdo()) != STATUS_SUCCESS)
        Fail("the device did not start");
    fdo_ = handset_->Pdo()->AttachedDevice;
}

PortSession::~PortSession()
{
    kemu::Reset();
}

void PortSession::Fail(const std::string& problem) const
{
    fprintf(stderr, "quenta_requests: the actions of this input:\n");
    for (const std::string& line : trace_)
        fprintf(stderr, "  %s\n", line.c_str());
    fprintf(stderr, "quenta_requests: %s\n", problem.c_str());
    fflush(stderr);
    abort();
}

void PortSession::Run(ActionReader& reader)
{
    for (int i = 0; i < kMostActions && !reader.Done(); ++i) {
        Step(reader);
        Refresh();
    }
}

size_t PortSession::Send(kemu::Request request, int handle, const std::string& what, ULONG_PTR mostInformation)
{
    requests_.push_back(Sent{std::make_unique<kemu::Request>(std::move(request)), handle, mostInformation});
    std::string line = "#";  // appended piecewise: gcc 12 misreads "#" + ... as an overlapping copy
    line.append(std::to_string(requests_.size() - 1)).append(" ").append(what);
    Note(line);
    NTSTATUS status = requests_.back().request->Send();
    Note("  -> " + Hex(ULONG(status)));
    return requests_.size() - 1;
}

void PortSession::Refresh()
{
    for (Handle& handle : handles_) {
        if (handle.state != HandleState::Opening)
            continue;
        const kemu::Request& create = *requests_[handle.create].request;
        if (create.Completed())
            handle.state = NT_SUCCESS(create.Status()) ? HandleState::Open : HandleState::Failed;
    }
}

int PortSession::FindHandle(HandleState state) const
{
    for (size_t i = 0; i < handles_.size(); ++i)
        if (handles_[i].state == state)
            return int(i);
    return -1;
}

bool PortSession::HandleBusy(int handle) const
{
    for (const Sent& sent : requests_)
        if (sent.handle == handle && !sent.request->Completed())
            return true;
    return false;
}

void PortSession::CleanupHandle(int handle)
{
    Send(kemu::Request::Cleanup(fdo_), -1, "cleanup of handle " + std::to_string(handle));
    handles_[handle].state = HandleState::CleanedUp;
}

// The I/O manager closes a file object once the last request on it has completed.
bool PortSession::CloseHandle(int handle)
{
    if (HandleBusy(handle))
        return false;
    Send(kemu::Request::Close(fdo_), -1, "close of handle " + std::to_string(handle));
    handles_[handle].state = HandleState::Closed;
    return true;
}

void PortSession::Step(ActionReader& reader)
{
    unsigned action = reader.Byte() % 21;
    switch (action) {
        case 0: {
            ULONG options = reader.Byte() < 240 ? 0 : reader.Ulong();
            size_t create = Send(kemu::Request::Create(fdo_, options), -1, "create, options " + Hex(options));
            handles_.push_back(Handle{create, HandleState::Opening});
            break;
        }
        case 1:
            if (int handle = FindHandle(HandleState::Open); handle >= 0)
                CleanupHandle(handle);
            break;
        case 2:
            if (int handle = FindHandle(HandleState::CleanedUp); handle >= 0)
                CloseHandle(handle);
            break;
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
            SendIo(reader, action);
            break;
        case 8: {
            std::vector<UCHAR> bytes = reader.Bytes(reader.DataLength(8192));
            NTSTATUS status = reader.Byte() < 192 ? STATUS_SUCCESS : PickStatus(reader);
            USBD_STATUS urbStatus = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : PickUrbStatus(reader);
            Note("bulk IN: " + std::to_string(bytes.size()) + " bytes, " + Hex(ULONG(status)) + "/" +
                 Hex(ULONG(urbStatus)));
            handset_->CompleteIn(bytes, status, urbStatus);
            break;
        }
        case 9: {
            NTSTATUS status = reader.Byte() < 192 ? STATUS_SUCCESS : PickStatus(reader);
            USBD_STATUS urbStatus = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : PickUrbStatus(reader);
            std::optional<ULONG> count;
            if (reader.Byte() >= 224)
                count = reader.Ulong();
            Note("bulk OUT done: " + Hex(ULONG(status)) + "/" + Hex(ULONG(urbStatus)) +
                 (count ? ", count " + std::to_string(*count) : ""));
            handset_->CompleteOut(status, urbStatus, count);
            break;
        }
        case 10: {
            bool later = reader.Flag();
            Note(later ? "bulk OUT completes later" : "bulk OUT completes at once");
            handset_->SetOutCompletesLater(later);
            break;
        }
        case 11:
            CancelOne(reader);
            break;
        case 12: {
            LONGLONG duration = PickDuration(reader);
            Note("time +" + std::to_string(duration));
            kemu::AdvanceTime(duration);
            break;
        }
        case 13:
            Note("one DPC");
            kemu::RunNextDpc();
            break;
        case 14:
            switch (reader.Byte() % 3) {
                case 0:
                    Note("DPCs");
                    kemu::RunDpcs();
                    break;
                case 1:
                    Note("deferred work");
                    kemu::RunDeferred();
                    break;
                default:
                    Note("until idle");
                    kemu::RunUntilIdle();
                    break;
            }
            break;
        case 15:
            StopDevice(reader);
            break;
        case 16:
            RestartDevice();
            break;
        case 17:
            SurpriseRemove();
            break;
        case 18:
            HandsetFault(reader);
            break;
        case 19: {
            kemu::PoolFailure failure;
            failure.skip = reader.Byte() % 8;
            Note("pool allocation " + std::to_string(failure.skip) + " from now fails");
            kemu::FailPoolAllocations(failure);
            break;
        }
        default:
            SleepOrWake(reader);
            break;
    }
}

// Data and device-control requests come on an open handle; internal ones from kernel components.
void PortSession::SendIo(ActionReader& reader, unsigned action)
{
    int handle = FindHandle(HandleState::Open);
    if (action != 7 && handle < 0)
        return;
    switch (action) {
        case 3: {
            ULONG length = reader.DataLength(kLongestData);
            Send(kemu::Request::Read(fdo_, length), handle, "read " + std::to_string(length), length);
            break;
        }
        case 4: {
            std::vector<UCHAR> data = reader.Bytes(reader.DataLength(kLongestData));
            Send(kemu::Request::Write(fdo_, data), handle, "write " + std::to_string(data.size()), data.size());
            break;
        }
        case 5:
            Send(kemu::Request::Flush(fdo_), handle, "flush");
            break;
        default: {
            bool internal = action == 7;
            RequestCode code = internal ? PickInternalDeviceControl(reader) : PickDeviceControl(reader);
            std::vector<UCHAR> input = reader.Bytes(code.inputLength);
            Send(kemu::Request::DeviceControl(fdo_, code.code, input, code.outputLength, internal), handle,
                 std::string(internal ? "internal " : "") + "device control " + Hex(code.code) + ", in " +
                     std::to_string(code.inputLength) + ", out " + std::to_string(code.outputLength),
                 code.outputLength);
            break;
        }
    }
}

void PortSession::CancelOne(ActionReader& reader)
{
    std::vector<size_t> pending;
    for (size_t i = 0; i < requests_.size(); ++i)
        if (!requests_[i].request->Completed())
            pending.push_back(i);
    if (pending.empty())
        return;
    size_t chosen = pending[reader.Below(std::uint32_t(pending.size()))];
    Note("cancel #" + std::to_string(chosen));
    requests_[chosen].request->Cancel();
}

// As the plug-and-play manager stops a device: asked first, stopped only when it agreed.
void PortSession::StopDevice(ActionReader& reader)
{
    if (device_ != DeviceState::Started || asleep_)
        return;
    NTSTATUS query = kemu::SendPnp(handset_->Pdo(), IRP_MN_QUERY_STOP_DEVICE);
    Note("query stop -> " + Hex(ULONG(query)));
    if (NT_SUCCESS(query) && reader.Flag()) {
        NTSTATUS stop = kemu::SendPnp(handset_->Pdo(), IRP_MN_STOP_DEVICE);
        Note("stop -> " + Hex(ULONG(stop)));
        if (!NT_SUCCESS(stop))
            Fail("a stop the device agreed to failed");
        device_ = DeviceState::Stopped;
    } else {
        kemu::SendPnp(handset_->Pdo(), IRP_MN_CANCEL_STOP_DEVICE);
        Note("cancel stop");
    }
}

void PortSession::RestartDevice()
{
    if (device_ != DeviceState::Stopped)
        return;
    NTSTATUS status = kemu::StartDevice(handset_->Pdo());
    Note("restart -> " + Hex(ULONG(status)));
    if (NT_SUCCESS(status))
        device_ = DeviceState::Started;
}

void PortSession::SurpriseRemove()
{
    if (device_ == DeviceState::SurpriseRemoved)
        return;
    Note("surprise removal");
    handset_->Unplug();
    kemu::SendPnp(handset_->Pdo(), IRP_MN_SURPRISE_REMOVAL);
    device_ = DeviceState::SurpriseRemoved;
}

// The system goes to sleep (asked first, as the power manager does) or wakes.
void PortSession::SleepOrWake(ActionReader& reader)
{
    if (device_ == DeviceState::SurpriseRemoved)
        return;
    if (asleep_) {
        Note("system wakes");
        kemu::SendSystemPower(handset_->Pdo(), IRP_MN_SET_POWER, PowerSystemWorking);
        asleep_ = false;
        return;
    }
    SYSTEM_POWER_STATE state = reader.Flag() ? PowerSystemSleeping3 : PowerSystemHibernate;
    NTSTATUS query = kemu::SendSystemPower(handset_->Pdo(), IRP_MN_QUERY_POWER, state);
    Note("query sleep S" + std::to_string(int(state) - 1) + " -> " + Hex(ULONG(query)));
    if (!NT_SUCCESS(query))
        return;
    NTSTATUS set = kemu::SendSystemPower(handset_->Pdo(), IRP_MN_SET_POWER, state);
    Note("sleep -> " + Hex(ULONG(set)));
    asleep_ = true;
}

void PortSession::HandsetFault(ActionReader& reader)
{
    switch (reader.Byte() % 4) {
        case 0: {
            NTSTATUS status = PickStatus(reader);
            Note("next bulk submission fails with " + Hex(ULONG(status)));
            handset_->FailNextSubmission(status);
            break;
        }
        case 1: {
            size_t pipe = reader.Byte() % 2;
            Note("pipe " + std::to_string(pipe) + " stalls");
            handset_->Stall(pipe);
            break;
        }
        case 2: {
            bool deferred = reader.Flag();
            Note(deferred ? "bus completes cancels later" : "bus completes cancels at once");
            handset_->SetCancelMode(deferred ? kemu::UsbHandset::CancelMode::Deferred
                                             : kemu::UsbHandset::CancelMode::Inside);
            break;
        }
        default: {
            static constexpr kemu::UsbHandset::Control kControls[] = {
                kemu::UsbHandset::Control::ResetPipe, kemu::UsbHandset::Control::AbortPipe,
                kemu::UsbHandset::Control::PortStatus, kemu::UsbHandset::Control::ResetPort,
                kemu::UsbHandset::Control::SelectConfiguration};
            size_t which = reader.Byte() % std::size(kControls);
            Note("control request " + std::to_string(which) + " fails");
            handset_->FailControl(kControls[which], STATUS_UNSUCCESSFUL);
            break;
        }
    }
}

// Runs what is queued and lets the handset take what it was sent, until nothing moves.
void PortSession::Drain()
{
    for (int round = 0; round < 64; ++round) {
        kemu::RunUntilIdle();
        if (!handset_->CompleteOut())
            break;
    }
}

// Success and warning statuses have the I/O manager copy Information bytes back to the caller.
void PortSession::CheckInformation() const
{
    for (size_t i = 0; i < requests_.size(); ++i) {
        const kemu::Request& request = *requests_[i].request;
        bool copiedBack = (ULONG(request.Status()) >> 30) != 3;
        if (copiedBack && request.Information() > requests_[i].mostInformation)
            Fail("request #" + std::to_string(i) + " completed with " + Hex(ULONG(request.Status())) + " and " +
                 std::to_string(request.Information()) + " bytes of information, more than its buffer's " +
                 std::to_string(requests_[i].mostInformation));
    }
}

void PortSession::Finish()
{
    Note("-- finish");
    Refresh();
    if (asleep_) {
        Note("system wakes");
        kemu::SendSystemPower(handset_->Pdo(), IRP_MN_SET_POWER, PowerSystemWorking);
        asleep_ = false;
    }
    Drain();
    Refresh();
    // The application closes its handles; then the handset goes.
    for (size_t i = 0; i < handles_.size(); ++i)
        if (handles_[i].state == HandleState::Open)
            CleanupHandle(int(i));
    Drain();
    if (device_ != DeviceState::SurpriseRemoved)
        SurpriseRemove();
    Drain();
    Refresh();
    for (size_t i = 0; i < handles_.size(); ++i) {
        if (handles_[i].state == HandleState::Opening)
            Fail("create #" + std::to_string(handles_[i].create) + " never completed");
        if (handles_[i].state == HandleState::Open)
            CleanupHandle(int(i));
        if (handles_[i].state == HandleState::CleanedUp && !CloseHandle(int(i)))
            Fail("a request on handle " + std::to_string(i) + " outlived its cleanup and the removal");
    }
    Drain();
    Note("remove");
    NTSTATUS removed = kemu::SendPnp(handset_->Pdo(), IRP_MN_REMOVE_DEVICE);
    if (removed != STATUS_SUCCESS)
        Fail("the removal failed: " + Hex(ULONG(removed)));
    kemu::RunUntilIdle();
    for (size_t i = 0; i < requests_.size(); ++i)
        if (!requests_[i].request->Completed())
            Fail("request #" + std::to_string(i) + " was never completed");
    CheckInformation();
    if (handset_->Pdo()->AttachedDevice)
        Fail("the device object is still attached after the removal");
    handset_.reset();
    kemu::UnloadDriver(driver_);
    driver_ = nullptr;
    std::vector<std::string> problems = kemu::Problems();
    if (!problems.empty()) {
        std::string all;
        for (const std::string& problem : problems)
            all += "\n  " + problem;
        Fail("after the removal:" + all);
    }
    requests_.clear();
    static const bool show = getenv("QUENTA_FUZZ_TRACE") != nullptr;
    if (show) {
        for (const std::string& line : trace_)
            fprintf(stderr, "  %s\n", line.c_str());
    }
}

}  // namespace quenta_fuzz
