// zarnik_via_quenta: Zarnik with its Win32 port layer, on Linux, over the USB path. Zarnik's own
// main, send loop and port layer run over the kernel32 layer; the COM port they open is Quenta's,
// on the emulated kernel, with the simulated USB handset plugged in and its cable going to the
// serial device named by the environment variable COMn (as the POSIX build names its device).
// Same command line, console, logs and exit codes as Zarnik. When the run ends the process's
// handles are closed, the handset is unplugged and the kernel's checks run: a failed check is
// reported on standard error and ends the process with kExitEmulationCheckFailed.
//
// ZARNIK_VIA_QUENTA_REPORT=FILE writes what the run did to FILE: the requests the driver was
// sent, the bulk transfers the cable carried and the checks' verdict.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "Paramclass.h"
#include "Zarnik.h"
#include "kernel32_controls.h"
#include "usb_machine.h"

namespace {

// Apart from every exit code of Zarnik (0, 1 and the low bytes of -2 to -14: 254 to 242).
constexpr int kExitEmulationCheckFailed = 70;

void WriteReport(const char* path, const usbpath::UsbMachine& machine, const std::vector<std::string>& problems)
{
    std::FILE* report = std::fopen(path, "w");
    if (report == nullptr) {
        std::fprintf(stderr, "zarnik_via_quenta: cannot write the report %s\n", path);
        return;
    }
    std::fprintf(report, "requests sent to Quenta:\n");
    for (const auto& [kind, count] : k32::RequestCounts()) {
        std::fprintf(report, "  %-32s %llu\n", kind.c_str(), static_cast<unsigned long long>(count));
    }
    const usbpath::HandsetCable::Counts bulk = machine.BulkCounts();
    std::fprintf(report, "bulk-OUT transfers: %llu (%llu bytes, the largest %llu)\n",
                 static_cast<unsigned long long>(bulk.outTransfers), static_cast<unsigned long long>(bulk.outBytes),
                 static_cast<unsigned long long>(bulk.largestOut));
    std::fprintf(report, "bulk-IN transfers: %llu (%llu bytes)\n", static_cast<unsigned long long>(bulk.inTransfers),
                 static_cast<unsigned long long>(bulk.inBytes));
    if (problems.empty()) {
        std::fprintf(report, "the kernel's checks: no pool leaked, no lock held, every request completed once\n");
    }
    for (const std::string& problem : problems) {
        std::fprintf(report, "the kernel's checks: %s\n", problem.c_str());
    }
    std::fclose(report);
}

}  // namespace

int main(int argc, char** argv)
{
    static usbpath::UsbMachine machine;
    // The handset appears only for a port number whose device can be opened; otherwise Zarnik's
    // open fails as for any missing port.
    int port = 0;
    if (argc >= 2 && zarnik::parse_port_number(argv[1], port)) {
        const std::string variable = "COM" + std::to_string(port);
        if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != 0) {
            machine.PlugHandset(port, device);
        }
    }
    k32::SetProcessEnd([](unsigned code) {
        k32::CloseEveryHandle();
        const std::vector<std::string> problems = machine.ShutDown();
        if (const char* report = std::getenv("ZARNIK_VIA_QUENTA_REPORT"); report != nullptr && *report != 0) {
            WriteReport(report, machine, problems);
        }
        std::fflush(nullptr);
        if (!problems.empty()) {
            std::fprintf(stderr, "zarnik_via_quenta: the emulated kernel's checks failed at the end of the run:\n");
            for (const std::string& problem : problems) {
                std::fprintf(stderr, "  %s\n", problem.c_str());
            }
            _exit(kExitEmulationCheckFailed);
        }
        _exit(static_cast<int>(code));
    });
    k32::EndProcess(static_cast<unsigned>(zarnik::zarnik_main(argc, argv)));
}
