// usb_bus_relay HANDSET_PORT COMn: plugs a handset into the test USB bus and carries its bytes
// between the bus's bulk pipes and HANDSET_PORT, a COM port mapped to a serial device outside
// Wine (the simulated handset's pseudo-terminal), until told to pull it out. The port driver
// names the new port COMn. Commands on standard input, one a line:
//   fault stall|fail|pull-out in|out BYTES   arm a fault on the handset's transfers
//   unplug                                   pull the handset out and wait until COMn is gone
// End of input pulls the handset out as well. Standard output says "ready COMn" once the port
// exists and "gone COMn" once it has gone again; exit status 0, or 1 with the reason on stderr.
#include "relay_io.h"
#include "test_usb_bus_control.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

using namespace wine_kernel_harness;

constexpr int kWaitSeconds = 30;
// How long the pumps get to end once told to, and how often their requests are cancelled
// meanwhile (a pump may be between two requests when the first cancel comes).
constexpr DWORD kPumpEndMilliseconds = 10000;
constexpr DWORD kCancelEveryMilliseconds = 20;

struct Relay {
    HANDLE port;
    HANDLE bus;
    std::atomic<bool> stopping{false};
};

// Bytes the port driver sends go to the handset.
DWORD WINAPI carry_out(void* context)
{
    const Relay& relay = *static_cast<Relay*>(context);
    char buffer[4096];
    while (!relay.stopping) {
        DWORD length;
        if (!control(relay.bus, IOCTL_TEST_USB_BUS_TAKE_OUT, nullptr, 0, buffer, sizeof buffer, length) ||
            !write_all(relay.port, buffer, length)) {
            return 0;
        }
    }
    return 0;
}

// Bytes the handset sends go to the port driver, as its bulk-IN transfers ask for them.
DWORD WINAPI carry_in(void* context)
{
    const Relay& relay = *static_cast<Relay*>(context);
    char buffer[4096];
    while (!relay.stopping) {
        DWORD length, returned;
        if (!read_some(relay.port, buffer, sizeof buffer, length)) {
            return 0;
        }
        if (length > 0 && !control(relay.bus, IOCTL_TEST_USB_BUS_GIVE_IN, buffer, length, nullptr, 0, returned)) {
            return 0;
        }
    }
    return 0;
}

bool wait_for_port(const std::string& name, bool present)
{
    for (int tries = kWaitSeconds * 100; tries > 0; --tries) {
        if (dos_device_target(name).empty() != present) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

bool arm_fault(HANDLE bus, const std::string& line)
{
    std::istringstream words(line);
    std::string command, kind, direction;
    unsigned long bytes = 0;
    if (!(words >> command >> kind >> direction >> bytes)) {
        return false;
    }
    TestUsbBusFault fault{};
    if (kind == "stall") {
        fault.Kind = TestUsbBusStall;
    } else if (kind == "fail") {
        fault.Kind = TestUsbBusFail;
    } else if (kind == "pull-out") {
        fault.Kind = TestUsbBusPullOut;
    } else {
        return false;
    }
    if (direction != "in" && direction != "out") {
        return false;
    }
    fault.Direction = direction == "in" ? TestUsbBusIn : TestUsbBusOut;
    fault.AfterBytes = bytes;
    DWORD returned;
    return control(bus, IOCTL_TEST_USB_BUS_FAULT, &fault, sizeof fault, nullptr, 0, returned);
}

// The next line of standard input, without its end; false at the end of input.
bool read_line(std::string& line)
{
    line.clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char c;
        DWORD read = 0;
        if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) {
            return !line.empty();
        }
        if (c == '\n') {
            return true;
        }
        if (c != '\r') {
            line.push_back(c);
        }
    }
}

int fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "usb_bus_relay: %s %s (error %lu)\n", what, detail.c_str(), GetLastError());
    return 1;
}

// Ends both pumps and waits for them: their pending requests are cancelled until both have
// returned. A process that ends with threads still waiting in device I/O leaves Wine to tear them
// down, and the wineserver kills with SIGKILL a process that is slow to go after that.
bool stop_pumps(Relay& relay, const HANDLE (&pumps)[2])
{
    relay.stopping = true;
    bool ended = false;
    for (DWORD waited = 0; !ended && waited < kPumpEndMilliseconds; waited += kCancelEveryMilliseconds) {
        CancelIoEx(relay.bus, nullptr);
        CancelIoEx(relay.port, nullptr);
        ended = WaitForMultipleObjects(2, pumps, TRUE, kCancelEveryMilliseconds) == WAIT_OBJECT_0;
    }
    CloseHandle(pumps[0]);
    CloseHandle(pumps[1]);
    return ended;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::string(argv[2]).rfind("COM", 0) != 0) {
        std::fprintf(stderr, "usage: usb_bus_relay HANDSET_PORT COMn\n");
        return 2;
    }
    const std::string handset_port = argv[1];
    const std::string port_name = argv[2];
    char* end = nullptr;
    const unsigned long instance = std::strtoul(port_name.c_str() + 3, &end, 10);
    if (*end != '\0' || instance == 0) {
        std::fprintf(stderr, "usb_bus_relay: %s is not a COM port name\n", port_name.c_str());
        return 2;
    }

    Relay relay{open_handset_port(handset_port), INVALID_HANDLE_VALUE};
    if (relay.port == INVALID_HANDLE_VALUE) {
        return fail("cannot open the handset's port", handset_port);
    }
    if (!set_port_name(instance, port_name)) {
        return fail("cannot store the port name", port_name);
    }
    relay.bus = open_bus(kWaitSeconds);
    if (relay.bus == INVALID_HANDLE_VALUE) {
        return fail("cannot open the test USB bus", TEST_USB_BUS_USER_PATH);
    }
    if (!plug(relay.bus, instance, kWaitSeconds)) {
        return fail("cannot plug in the handset for", port_name);
    }
    const HANDLE pumps[2] = {CreateThread(nullptr, 0, carry_out, &relay, 0, nullptr),
                             CreateThread(nullptr, 0, carry_in, &relay, 0, nullptr)};
    if (pumps[0] == nullptr || pumps[1] == nullptr) {
        return fail("cannot start the pumps for", port_name);
    }
    if (!wait_for_port(port_name, true)) {
        return fail("the port driver did not make", port_name);
    }
    std::printf("ready %s\n", port_name.c_str());
    std::fflush(stdout);

    std::string line;
    while (read_line(line) && line != "unplug") {
        if (line.rfind("fault ", 0) == 0 && arm_fault(relay.bus, line)) {
            std::printf("armed %s\n", line.c_str() + 6);
        } else if (!line.empty()) {
            std::fprintf(stderr, "usb_bus_relay: cannot do \"%s\" (error %lu)\n", line.c_str(), GetLastError());
        }
        std::fflush(stdout);
    }
    DWORD returned;
    control(relay.bus, IOCTL_TEST_USB_BUS_UNPLUG, nullptr, 0, nullptr, 0, returned);  // may be out already
    if (!wait_for_port(port_name, false)) {
        return fail("the port did not go away:", port_name);
    }
    if (!stop_pumps(relay, pumps)) {
        return fail("the pumps did not end after pulling out", port_name);
    }
    CloseHandle(relay.bus);
    CloseHandle(relay.port);
    std::printf("gone %s\n", port_name.c_str());
    std::fflush(stdout);
    return 0;
}
