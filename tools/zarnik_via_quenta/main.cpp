// zarnik_via_quenta: Zarnik with its Win32 port layer, on Linux, over the USB path. Zarnik's own
// main, send loop and port layer run over the kernel32 layer; the COM port they open is Quenta's,
// on the emulated kernel, with the simulated USB handset plugged in and its cable going to the
// serial device named by the environment variable COMn (as the POSIX build names its device).
// Same command line, console, logs and exit codes as Zarnik. When the run ends the process's
// handles are closed, the handset is unplugged and the kernel's checks run: a failed check is
// reported on standard error and ends the process with kExitEmulationCheckFailed (70).
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
#include "run_end.h"
#include "usb_machine.h"

namespace {

usbpath::UsbMachine& Machine()
{
    static auto* machine = new usbpath::UsbMachine;  // ends with the process, never destroyed
    return *machine;
}

[[noreturn]] void EndRun(unsigned code)
{
    k32::CloseEveryHandle();
    const std::vector<std::string> problems = Machine().ShutDown();
    if (const char* path = std::getenv("ZARNIK_VIA_QUENTA_REPORT"); path != nullptr && *path != 0) {
        if (std::FILE* report = std::fopen(path, "w")) {
            usbpath::WriteRunReport(report, Machine().BulkCounts(), problems);
            std::fclose(report);
        } else {
            std::fprintf(stderr, "zarnik_via_quenta: cannot write the report %s\n", path);
        }
    }
    const int status = usbpath::EndOfRunStatus(static_cast<int>(code), problems, stderr);
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int main(int argc, char** argv)
{
    Machine();
    // The handset appears only for a port number whose device can be opened; otherwise Zarnik's
    // open fails as for any missing port.
    int port = 0;
    if (argc >= 2 && zarnik::parse_port_number(argv[1], port)) {
        const std::string variable = "COM" + std::to_string(port);
        if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != 0) {
            Machine().PlugHandset(port, device);
        }
    }
    k32::SetProcessEnd(EndRun);
    k32::EndProcess(static_cast<unsigned>(zarnik::zarnik_main(argc, argv)));
}
