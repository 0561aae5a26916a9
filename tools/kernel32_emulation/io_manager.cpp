#include "io_manager.h"

#include "kernel32_controls.h"
#include "serial_wire.h"
#include "test_controls.h"

namespace k32::io {

namespace {

// The two halves name the same values twice; they must agree with what the driver sees.
static_assert(kStatusSuccess == STATUS_SUCCESS && kStatusTimeout == STATUS_TIMEOUT &&
              kStatusPending == STATUS_PENDING && kStatusCancelled == STATUS_CANCELLED &&
              kStatusObjectNameNotFound == STATUS_OBJECT_NAME_NOT_FOUND);
static_assert(wire::IOCTL_SERIAL_SET_BAUD_RATE == ::IOCTL_SERIAL_SET_BAUD_RATE &&
              wire::IOCTL_SERIAL_SET_QUEUE_SIZE == ::IOCTL_SERIAL_SET_QUEUE_SIZE &&
              wire::IOCTL_SERIAL_SET_LINE_CONTROL == ::IOCTL_SERIAL_SET_LINE_CONTROL &&
              wire::IOCTL_SERIAL_SET_BREAK_ON == ::IOCTL_SERIAL_SET_BREAK_ON &&
              wire::IOCTL_SERIAL_SET_BREAK_OFF == ::IOCTL_SERIAL_SET_BREAK_OFF &&
              wire::IOCTL_SERIAL_IMMEDIATE_CHAR == ::IOCTL_SERIAL_IMMEDIATE_CHAR &&
              wire::IOCTL_SERIAL_SET_TIMEOUTS == ::IOCTL_SERIAL_SET_TIMEOUTS &&
              wire::IOCTL_SERIAL_GET_TIMEOUTS == ::IOCTL_SERIAL_GET_TIMEOUTS &&
              wire::IOCTL_SERIAL_SET_DTR == ::IOCTL_SERIAL_SET_DTR &&
              wire::IOCTL_SERIAL_CLR_DTR == ::IOCTL_SERIAL_CLR_DTR &&
              wire::IOCTL_SERIAL_RESET_DEVICE == ::IOCTL_SERIAL_RESET_DEVICE &&
              wire::IOCTL_SERIAL_SET_RTS == ::IOCTL_SERIAL_SET_RTS &&
              wire::IOCTL_SERIAL_CLR_RTS == ::IOCTL_SERIAL_CLR_RTS &&
              wire::IOCTL_SERIAL_SET_XOFF == ::IOCTL_SERIAL_SET_XOFF &&
              wire::IOCTL_SERIAL_SET_XON == ::IOCTL_SERIAL_SET_XON &&
              wire::IOCTL_SERIAL_GET_WAIT_MASK == ::IOCTL_SERIAL_GET_WAIT_MASK &&
              wire::IOCTL_SERIAL_SET_WAIT_MASK == ::IOCTL_SERIAL_SET_WAIT_MASK &&
              wire::IOCTL_SERIAL_WAIT_ON_MASK == ::IOCTL_SERIAL_WAIT_ON_MASK &&
              wire::IOCTL_SERIAL_PURGE == ::IOCTL_SERIAL_PURGE &&
              wire::IOCTL_SERIAL_GET_BAUD_RATE == ::IOCTL_SERIAL_GET_BAUD_RATE &&
              wire::IOCTL_SERIAL_GET_LINE_CONTROL == ::IOCTL_SERIAL_GET_LINE_CONTROL &&
              wire::IOCTL_SERIAL_GET_CHARS == ::IOCTL_SERIAL_GET_CHARS &&
              wire::IOCTL_SERIAL_SET_CHARS == ::IOCTL_SERIAL_SET_CHARS &&
              wire::IOCTL_SERIAL_GET_HANDFLOW == ::IOCTL_SERIAL_GET_HANDFLOW &&
              wire::IOCTL_SERIAL_SET_HANDFLOW == ::IOCTL_SERIAL_SET_HANDFLOW &&
              wire::IOCTL_SERIAL_GET_MODEMSTATUS == ::IOCTL_SERIAL_GET_MODEMSTATUS &&
              wire::IOCTL_SERIAL_GET_COMMSTATUS == ::IOCTL_SERIAL_GET_COMMSTATUS &&
              wire::IOCTL_SERIAL_GET_PROPERTIES == ::IOCTL_SERIAL_GET_PROPERTIES);
static_assert(sizeof(wire::SERIAL_LINE_CONTROL) == sizeof(::SERIAL_LINE_CONTROL) &&
              sizeof(wire::SERIAL_CHARS) == sizeof(::SERIAL_CHARS) &&
              sizeof(wire::SERIAL_HANDFLOW) == sizeof(::SERIAL_HANDFLOW) &&
              sizeof(wire::SERIAL_TIMEOUTS) == sizeof(::SERIAL_TIMEOUTS) &&
              sizeof(wire::SERIAL_QUEUE_SIZE) == sizeof(::SERIAL_QUEUE_SIZE) &&
              sizeof(wire::SERIAL_STATUS) == sizeof(::SERIAL_STATUS) &&
              wire::kCommPropSize == sizeof(::SERIAL_COMMPROP));

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Describe(const Request& request)
{
    switch (request.kind) {
        case Request::Kind::Create:
            return "IRP_MJ_CREATE";
        case Request::Kind::Cleanup:
            return "IRP_MJ_CLEANUP";
        case Request::Kind::Close:
            return "IRP_MJ_CLOSE";
        case Request::Kind::Read:
            return "IRP_MJ_READ";
        case Request::Kind::Write:
            return "IRP_MJ_WRITE";
        case Request::Kind::Flush:
            return "IRP_MJ_FLUSH_BUFFERS";
        case Request::Kind::DeviceControl:
            return wire::ControlName(request.controlCode);
    }
    return "?";
}

// The length a trace line shows for a request: what it asks to move.
uint32_t LengthOf(const Request& request)
{
    switch (request.kind) {
        case Request::Kind::Read:
            return request.readLength;
        case Request::Kind::Write:
            return uint32_t(request.input.size());
        case Request::Kind::DeviceControl:
            return uint32_t(std::max<size_t>(request.input.size(), request.outputLength));
        default:
            return 0;
    }
}

kemu::Request MakeRequest(PDEVICE_OBJECT device, const Request& request)
{
    switch (request.kind) {
        case Request::Kind::Create:
            return kemu::Request::Create(device);
        case Request::Kind::Cleanup:
            return kemu::Request::Cleanup(device);
        case Request::Kind::Close:
            return kemu::Request::Close(device);
        case Request::Kind::Read:
            return kemu::Request::Read(device, request.readLength);
        case Request::Kind::Write:
            return kemu::Request::Write(device, request.input);
        case Request::Kind::Flush:
            return kemu::Request::Flush(device);
        case Request::Kind::DeviceControl:
            break;
    }
    return kemu::Request::DeviceControl(device, request.controlCode, request.input, request.outputLength);
}

const char* StatusName(NTSTATUS status)
{
    switch (status) {
        case STATUS_SUCCESS:
            return "STATUS_SUCCESS";
        case STATUS_TIMEOUT:
            return "STATUS_TIMEOUT";
        case STATUS_CANCELLED:
            return "STATUS_CANCELLED";
        case STATUS_INVALID_PARAMETER:
            return "STATUS_INVALID_PARAMETER";
        case STATUS_DELETE_PENDING:
            return "STATUS_DELETE_PENDING";
        case STATUS_INVALID_DEVICE_REQUEST:
            return "STATUS_INVALID_DEVICE_REQUEST";
        default:
            return nullptr;
    }
}

class Flight final : public InFlight {
public:
    Flight(kemu::Request request, std::string name, bool hasOutput, std::function<void(const Result&)> done)
        : request_(std::move(request)), name_(std::move(name)), hasOutput_(hasOutput), done_(std::move(done))
    {
    }

    kemu::Request& request() { return request_; }
    void Cancel() override { request_.Cancel(); }

    void Finish()
    {
        Result result;
        result.status = request_.Status();
        result.information = uint32_t(request_.Information());
        if (hasOutput_) {
            result.output = request_.Output();
            result.output.resize(std::min<size_t>(result.output.size(), result.information));
        }
        if (TraceEnabled()) {
            const char* status = StatusName(result.status);
            std::string line = name_ + " done " + (status ? status : "status 0x" + Hex(uint32_t(result.status))) + " " +
                               std::to_string(result.information);
            // An event wait's answer is the event mask it carries.
            if (name_ == "IOCTL_SERIAL_WAIT_ON_MASK" && result.output.size() == 4) {
                uint32_t mask;
                memcpy(&mask, result.output.data(), 4);
                line += " mask 0x" + Hex(mask);
            }
            TraceLine("%s", line.c_str());
        }
        done_(result);
    }

private:
    static std::string Hex(uint32_t value)
    {
        char text[12];
        snprintf(text, sizeof text, "%X", value);
        return text;
    }

    kemu::Request request_;
    std::string name_;
    bool hasOutput_;
    std::function<void(const Result&)> done_;
};

}  // namespace

std::optional<Device> FindDosDevice(const std::string& dosName)
{
    std::optional<std::u16string> target = kemu::ResolveSymbolicLink(u"\\DosDevices\\" + Widen(dosName));
    if (!target)
        return std::nullopt;
    PDEVICE_OBJECT device = kemu::DeviceByName(*target);
    if (!device)
        return std::nullopt;
    return Device{kemu::TopOfStack(device)};
}

std::shared_ptr<InFlight> Send(Device device, const Request& request, std::function<void(const Result&)> done,
                               int32_t& dispatchStatus)
{
    std::string name = Describe(request);
    bool hasOutput = request.kind == Request::Kind::Read || request.kind == Request::Kind::DeviceControl;
    auto flight = std::make_shared<Flight>(MakeRequest(static_cast<PDEVICE_OBJECT>(device.object), request), name,
                                           hasOutput, std::move(done));
    // The request keeps only a weak reference to its flight: its owner (kernel32's record of the
    // operation) keeps it alive until it has been given back.
    std::weak_ptr<Flight> weak = flight;
    flight->request().OnCompleted([weak] {
        if (auto self = weak.lock())
            self->Finish();
    });
    CountRequest(name);
    if (TraceEnabled())
        TraceLine("%s %u", name.c_str(), LengthOf(request));
    dispatchStatus = flight->request().Send();
    return flight;
}

uint64_t ClockMilliseconds()
{
    return uint64_t(kemu::Now()) / 10000;
}

bool Threaded()
{
    return kemu::Threaded();
}

bool DriveWorld(const std::function<bool()>& done, std::optional<uint32_t> milliseconds)
{
    if (!milliseconds) {
        kemu::RunUntil(done, "the end of a kernel32 wait");
        return true;
    }
    return kemu::RunUntilFor(done, LONGLONG(*milliseconds) * 10000);
}

}  // namespace k32::io
