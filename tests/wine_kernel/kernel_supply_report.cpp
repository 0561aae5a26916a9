// kernel_supply_report DRIVER.sys: installs DRIVER.sys (the kernel-supply check driver, its
// imports already redirected) as the demand-start kernel service KernelSupplyCheck, starts it,
// and prints the report its control device gives. Exit status: the number of failed checks.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kRun = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

bool start_service(const char* image)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        return false;
    }
    SC_HANDLE service =
        CreateServiceA(manager, "KernelSupplyCheck", "Kernel supply check", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceA(manager, "KernelSupplyCheck", SERVICE_ALL_ACCESS);
    }
    const bool started =
        service && (StartServiceA(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    if (service) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return started;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kernel_supply_report DRIVER.sys\n");
        return 125;
    }
    if (!start_service(argv[1])) {
        std::fprintf(stderr, "kernel_supply_report: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 125;
    }
    HANDLE device = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 500 && device == INVALID_HANDLE_VALUE; ++tries) {
        device = CreateFileA("\\\\.\\KernelSupplyCheck", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            Sleep(10);
        }
    }
    static char report[8192];
    DWORD length = 0;
    if (device == INVALID_HANDLE_VALUE ||
        !DeviceIoControl(device, kRun, nullptr, 0, report, sizeof report - 1, &length, nullptr)) {
        std::fprintf(stderr, "kernel_supply_report: no report (error %lu)\n", GetLastError());
        return 125;
    }
    report[length] = 0;
    std::fputs(report, stdout);
    int failed = 0;
    for (const char* line = report; (line = std::strstr(line, "FAIL ")) != nullptr; ++line) {
        ++failed;
    }
    CloseHandle(device);
    return failed;
}
