// serial_api_check \\.\COMn LOG CASE...: the serial-API check cases (serial_api_cases.cpp) through
// Wine's kernel32 against the port driver behind COMn. LOG is the session log into which Wine's
// driver hosts write their trace (channel trace+ntoskrnl, tests/wine_kernel/wine-quenta-serial.sh):
// the requests each case sent the driver are taken, in order, from its dispatch lines. Prints
// "ok CASE" or "FAIL CASE: what differed", then the case's requests. Exit status: the number of
// failed cases.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "serial_api_cases.h"

namespace {

// Serial requests are FILE_DEVICE_SERIAL_PORT (0x1b) codes with function numbers 1 to 30, from
// SET_BAUD_RATE to GET_DTRRTS.
const char* const kSerialFunctions[] = {
    "SET_BAUD_RATE", "SET_QUEUE_SIZE",  "SET_LINE_CONTROL", "SET_BREAK_ON",  "SET_BREAK_OFF",  "IMMEDIATE_CHAR",
    "SET_TIMEOUTS",  "GET_TIMEOUTS",    "SET_DTR",          "CLR_DTR",       "RESET_DEVICE",   "SET_RTS",
    "CLR_RTS",       "SET_XOFF",        "SET_XON",          "GET_WAIT_MASK", "SET_WAIT_MASK",  "WAIT_ON_MASK",
    "PURGE",         "GET_BAUD_RATE",   "GET_LINE_CONTROL", "GET_CHARS",     "SET_CHARS",      "GET_HANDFLOW",
    "SET_HANDFLOW",  "GET_MODEMSTATUS", "GET_COMMSTATUS",   "XOFF_COUNTER",  "GET_PROPERTIES", "GET_DTRRTS",
};

std::string serial_request_name(unsigned long code)
{
    const unsigned long function = (code >> 2) & 0xFFF;
    if ((code >> 16) == 0x1b && function >= 1 && function <= std::size(kSerialFunctions)) {
        return kSerialFunctions[function - 1];
    }
    char text[32];
    std::snprintf(text, sizeof text, "IOCTL_%lx", code);
    return text;
}

// The driver hosts' dispatch lines, read on from where the last reading stopped:
//   0068:trace:ntoskrnl:dispatch_create device 0000000000373EA0 -> file 0000000000350730
//   0068:trace:ntoskrnl:dispatch_ioctl ioctl 1b0050 device 0000000000373EA0 file ... in_size 0 ...
// The port's device is the one that gets serial requests; the other devices in the log (the test
// bus's control device, Wine's own drivers) are not counted.
class DriverHostTrace {
public:
    explicit DriverHostTrace(std::string path) : path_(std::move(path)) {}

    // Reads past everything logged so far: what went before is not a case's.
    void skip()
    {
        std::vector<std::string> problems;
        read_on(problems);
        requests_.clear();
    }

    std::vector<std::string> take(std::vector<std::string>& problems)
    {
        // Wine's CloseHandle returns before the driver host has dispatched the close: wait for it.
        std::vector<std::string> sequence;
        for (int tries = 0;; ++tries) {
            read_on(problems);
            sequence.clear();
            for (const auto& [device, request] : requests_) {
                if (port_devices_.count(device) != 0) {
                    sequence.push_back(request);
                }
            }
            if (std::count(sequence.begin(), sequence.end(), "CREATE") ==
                    std::count(sequence.begin(), sequence.end(), "CLOSE") ||
                tries == 200) {
                break;
            }
            Sleep(10);
        }
        if (std::count(sequence.begin(), sequence.end(), "CREATE") !=
            std::count(sequence.begin(), sequence.end(), "CLOSE")) {
            problems.push_back("the port's close never reached the driver");
        }
        requests_.clear();
        return sequence;
    }

private:
    void read_on(std::vector<std::string>& problems)
    {
        std::FILE* log = std::fopen(path_.c_str(), "rb");
        if (!log) {
            problems.push_back("cannot read the driver hosts' trace " + path_);
            return;
        }
        std::fseek(log, offset_, SEEK_SET);
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, log)) > 0) {
            partial_.append(chunk, n);
            offset_ += long(n);
        }
        std::fclose(log);
        std::size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            take_line(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }

    void take_line(const std::string& line)
    {
        const std::size_t at = line.find(":trace:ntoskrnl:dispatch_");
        if (at == std::string::npos) {
            return;
        }
        std::istringstream words(line.substr(at + std::string(":trace:ntoskrnl:dispatch_").size()));
        std::string kind, word, device;
        words >> kind;
        std::string request;
        if (kind == "ioctl") {
            unsigned long code = 0;
            std::string literal;  // the message repeats "ioctl"
            words >> literal >> std::hex >> code >> word >> device;
            request = serial_request_name(code);
            if ((code >> 16) == 0x1b) {
                port_devices_.insert(device);
            }
        } else if (kind == "create" || kind == "close" || kind == "read" || kind == "write") {
            words >> word >> device;
            for (char& c : kind) {
                c = char(c - 'a' + 'A');
            }
            request = kind;
        } else {
            return;
        }
        if (word != "device") {
            return;  // not a line of the form above
        }
        requests_.emplace_back(device, request);
    }

    std::string path_;
    long offset_ = 0;
    std::string partial_;
    std::set<std::string> port_devices_;
    std::vector<std::pair<std::string, std::string>> requests_;  // device, request
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: serial_api_check \\\\.\\COMn DRIVER-HOST-LOG CASE...\n");
        return 125;
    }
    DriverHostTrace trace(argv[2]);
    trace.skip();
    const serialcheck::Side side{serialcheck::Kernel32::Wine, argv[1],
                                 [&trace](std::vector<std::string>& problems) { return trace.take(problems); }};
    return serialcheck::run_cases(side, std::vector<std::string>(argv + 3, argv + argc));
}
