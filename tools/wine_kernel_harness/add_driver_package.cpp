// add_driver_package INF: adds the driver package whose INF is named to the driver store, as
// "pnputil /add-driver INF" does: the INF is copied into the system's INF folder (as oem<N>.inf)
// with the package's folder kept as its source, so that plug and play installs the driver from
// there when a matching device appears. Prints the name the INF got.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: add_driver_package INF\n");
        return 2;
    }
    char full_path[MAX_PATH];
    if (!GetFullPathNameA(argv[1], sizeof full_path, full_path, nullptr)) {
        std::fprintf(stderr, "add_driver_package: %s: bad path (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    char stored[MAX_PATH];
    if (!SetupCopyOEMInfA(full_path, nullptr, SPOST_PATH, 0, stored, sizeof stored, nullptr, nullptr)) {
        std::fprintf(stderr, "add_driver_package: %s: not added (error %#lx)\n", full_path, GetLastError());
        return 1;
    }
    std::printf("%s\n", stored);
    return 0;
}
