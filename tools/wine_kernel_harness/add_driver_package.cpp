// add_driver_package INF: adds the driver package whose INF is named to the driver store, as
// "pnputil /add-driver INF" does: the INF goes into the system's INF folder and the package's
// files (the INF's [SourceDisksFiles]) are kept beside it, where Windows' driver store keeps them
// and where plug and play installs them from when a matching device appears. (Wine's
// SetupCopyOEMInf copies the INF only; without its files a later install retries a failing copy
// for ever inside the driver host.) Prints the name the stored INF got.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Copies every file of [SourceDisksFiles] from the package folder to the stored INF's folder.
bool keep_package_files(const std::string& inf, const std::string& stored)
{
    HINF handle = SetupOpenInfFileA(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool copied = true;
    INFCONTEXT line;
    for (BOOL more = SetupFindFirstLineA(handle, "SourceDisksFiles", nullptr, &line); more && copied;
         more = SetupFindNextLine(&line, &line)) {
        char name[MAX_PATH];
        if (!SetupGetStringFieldA(&line, 0, name, sizeof name, nullptr)) {
            copied = false;
            break;
        }
        const std::string from = folder_of(inf) + "\\" + name;
        const std::string to = folder_of(stored) + "\\" + name;
        copied = CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
        if (!copied) {
            std::fprintf(stderr, "add_driver_package: cannot keep %s (error %lu)\n", from.c_str(), GetLastError());
        }
    }
    SetupCloseInfFile(handle);
    return copied;
}

}  // namespace

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
    if (!keep_package_files(full_path, stored)) {
        return 1;
    }
    std::printf("%s\n", stored);
    return 0;
}
