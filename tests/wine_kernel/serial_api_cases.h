// The serial-API check cases, one source for two kernel32s: Wine's (serial_api_check.exe, under
// Wine's kernel against the real Quenta.sys) and ours (tools/kernel32_emulation, against Quenta on
// the emulated kernel; tests/usb_path/serial_api_check_test.cpp). Both reach a handset that answers
// "AT+CGMM" (the simulated handset). Each case opens the port, checks what its calls return, closes
// the port, and then checks the requests the driver was sent. Where the two kernel32s differ, the
// case states both expectations and why.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace serialcheck {

enum class Kernel32 { Wine, Ours };

// Requests the port's driver was sent, by short name ("CREATE" for IRP_MJ_CREATE, "GET_BAUD_RATE"
// for IOCTL_SERIAL_GET_BAUD_RATE) and count.
using RequestCounts = std::map<std::string, unsigned>;

struct Side {
    Kernel32 kernel32;
    std::string port_path;  // "\\.\COM7"
    // The requests the driver was sent since the last call, by short name in the order it got
    // them, once the port's close has reached it; failures to tell go to `problems`.
    std::function<std::vector<std::string>(std::vector<std::string>& problems)> take_requests;
};

struct Outcome {
    std::vector<std::string> failures;  // empty: the case passed
    RequestCounts requests;
};

RequestCounts count(const std::vector<std::string>& sequence);

bool known_case(const std::string& name);
Outcome run_case(const Side& side, const std::string& name);

// "CREATE 1, GET_BAUD_RATE 3": the requests in the order of their names.
std::string describe(const RequestCounts& requests);
// What kernel32 names a request ("IRP_MJ_CREATE", "IOCTL_SERIAL_GET_BAUD_RATE") shortened.
std::string short_request_name(const std::string& name);
// Differences between the requests seen and those expected: "GET_COMMSTATUS 2" is exactly two,
// "GET_COMMSTATUS 2+" at least two; a request not named must not have been sent.
std::vector<std::string> compare_requests(const RequestCounts& seen, const std::string& expected);

// The cases named on a command line, each on a port opened anew: "ok CASE (0.3 s)" or
// "FAIL CASE (0.3 s): ..." and then "    requests: ..." for each. Answers the number of failed cases.
int run_cases(const Side& side, const std::vector<std::string>& names);

}  // namespace serialcheck
