// The platform-independent half of the COM-port layer: port state, the listener loop, the
// reply collection of ObexRecv and the port log. The device calls live in Comport_<os>.cpp.
#include "Comport.h"

#include "ComportDevice.h"
#include "Strfunction.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace zarnik {

namespace {

using Clock = std::chrono::steady_clock;

struct PortState {
    std::string name = "COM1";
    std::FILE* log = nullptr;
    bool opened = false;
    std::unique_ptr<SerialDevice> device;
    std::thread listener;

    // ComRxBuffer: the listener appends under the lock; ObexRecv takes bytes out under it.
    // The count and the time of the last byte are also read without the lock while waiting.
    std::mutex lock;
    std::uint8_t rx[kComRxBufferSize] = {};
    std::atomic<std::uint32_t> rx_count{0};
    std::atomic<Clock::rep> last_rx_time{0};
};

// Never destroyed: a listener may still run when the process ends after a failure.
PortState& port()
{
    static PortState* state = new PortState;
    return *state;
}

[[gnu::format(printf, 1, 2)]] void port_log(const char* format, ...)
{
    std::FILE* log = port().log;
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
}

void open_port_log_if_absent()
{
    if (port().log == nullptr) {
        port().log = std::fopen("./ObexCom.log", "w+");
    }
}

void close_port_log()
{
    if (port().log != nullptr) {
        std::fclose(port().log);
        port().log = nullptr;
    }
}

bool listener_running()
{
    return port().listener.joinable();
}

// Stores one received byte (count 1) or notes a read that ended without data (count 0).
void store_received(int count, std::uint8_t byte)
{
    PortState& p = port();
    const std::lock_guard guard(p.lock);
    port_log("On enter copy data!! size:%d\n", count);
    const std::uint32_t held = p.rx_count.load();
    // A full buffer drops the byte: nothing is ever written past it.
    if (count == 1 && held < kComRxBufferSize) {
        p.rx[held] = byte;
        p.rx_count.store(held + 1);
        p.last_rx_time.store(Clock::now().time_since_epoch().count());
    }
    port_log("On exit copy data!! size:%d data_size:%d\n", count, static_cast<int>(p.rx_count.load()));
}

void serial_listener()
{
    SerialDevice& device = *port().device;
    for (;;) {
        const SerialDevice::Wait wait = device.wait_event();
        if (wait == SerialDevice::Wait::Stopped) {
            return;
        }
        if (wait == SerialDevice::Wait::Failed) {
            port_log("On WaitCommEvent error!! \n");
            serial_end_process(1);
        }
        // After an event, read byte by byte until a read ends without data.
        for (;;) {
            std::uint8_t byte = 0;
            const SerialDevice::Read read = device.read_byte(byte);
            if (read == SerialDevice::Read::Stopped) {
                return;
            }
            if (read == SerialDevice::Read::Failed) {
                port_log("On serial_listener error!! \n");
                serial_end_process(1);
            }
            if (read == SerialDevice::Read::EmptyAfterError) {
                port_log("On serial_listener error!! \n");
            }
            const int count = read == SerialDevice::Read::Byte ? 1 : 0;
            store_received(count, byte);
            if (count == 0) {
                break;
            }
        }
    }
}

void sleep_for(Clock::duration d)
{
    std::this_thread::sleep_for(d);
}

}  // namespace

ComportTiming& comport_timing()
{
    static ComportTiming timing;
    return timing;
}

int SetComport(int number)
{
    char name[20];
    std::snprintf(name, sizeof name, "COM%d", number);
    port().name = name;
    open_port_log_if_absent();
    port_log("SetComport %s\n", name);
    return 0;
}

int SetComportDevice(const std::string& device_path)
{
    port().name = device_path;
    open_port_log_if_absent();
    port_log("SetComport %s\n", device_path.c_str());
    return 0;
}

std::string ComportName()
{
    return port().name;
}

int ComportOpen(int baud)
{
    PortState& p = port();
    if (p.opened) {
        return 0;
    }
    // A failed open leaves the flag set; the caller's ComportClose releases what was taken.
    p.opened = true;
    open_port_log_if_absent();
    p.device = serial_device_open(p.name, baud);
    if (!p.device) {
        return -1;
    }
    try {
        p.listener = std::thread(serial_listener);
    } catch (const std::system_error& e) {
        port_log("CreateThread(): error %d\n", e.code().value());
        p.device.reset();
        return -1;
    }
    ComportPurge();
    return 0;
}

int ObexSend(const std::uint8_t* bytes, std::size_t length)
{
    PortState& p = port();
    if (!listener_running()) {
        ComportOpen(115200);
    }
    port_log("ObexSend  dataLen:%d  data:%s\n", static_cast<int>(length), bytes_to_hex_text(bytes, length).c_str());
    unsigned long error = 0;
    const long written = p.device ? p.device->write(bytes, length, error) : -1;
    if (written >= 0) {
        port_log("ObexSend  OK \n");
        return static_cast<int>(written);
    }
    port_log("GetOverlappedResult(): error %d\n", static_cast<int>(error));
    port_log("ObexSend  error \n");
    return -1;
}

int ObexRecv(std::uint8_t* destination, std::size_t capacity)
{
    PortState& p = port();
    if (!listener_running()) {
        ComportOpen(115200);
    }
    const ComportTiming timing = comport_timing();
    const auto deadline = Clock::now() + timing.first_byte_wait;
    while (p.rx_count.load() == 0) {
        if (Clock::now() >= deadline) {
            return 0;
        }
        sleep_for(std::chrono::milliseconds(1));
    }
    // The reply is complete once the line has been quiet for the gap, but not before the settle
    // time after its first byte: a pause just after the first bytes does not split it.
    sleep_for(timing.settle);
    for (;;) {
        const Clock::time_point last{Clock::duration(p.last_rx_time.load())};
        const Clock::duration quiet = Clock::now() - last;
        if (quiet >= timing.quiet_gap) {
            break;
        }
        sleep_for(timing.quiet_gap - quiet);
    }
    if (!p.opened || !p.device) {
        return -1;
    }
    const std::lock_guard guard(p.lock);
    port_log("ObexRecv enter section \n");
    const std::uint32_t held = p.rx_count.load();
    const std::size_t taken = std::min<std::size_t>(held, capacity);
    std::memcpy(destination, p.rx, taken);
    // What does not fit waits for the next call, in order.
    std::memmove(p.rx, p.rx + taken, held - taken);
    p.rx_count.store(static_cast<std::uint32_t>(held - taken));
    port_log("ObexRecv exit section data_size:%d size:%d Data:%s\n", static_cast<int>(p.rx_count.load()),
             static_cast<int>(taken), bytes_to_hex_text(destination, taken).c_str());
    return static_cast<int>(taken);
}

void ComportPurge()
{
    if (port().device) {
        port().device->purge();
    }
}

int ComportClose()
{
    PortState& p = port();
    if (!p.opened) {
        // SetComport opened the log although the port never was: the next session's log must
        // start afresh in its own folder, not go on in this file.
        close_port_log();
        return 0;
    }
    p.opened = false;
    ComportPurge();
    // The listener is asked to stop and waited for; it is never killed while it may hold a lock.
    if (p.listener.joinable()) {
        p.device->stop();
        p.listener.join();
    }
    p.device.reset();
    p.rx_count.store(0);
    port_log("ComportClose\n");
    close_port_log();
    return 0;
}

}  // namespace zarnik
