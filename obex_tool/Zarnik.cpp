#include "Zarnik.h"

#include "Codepage.h"
#include "Comport.h"
#include "Fileinfo.h"
#include "Folderlisting.h"
#include "Miscunit.h"
#include "Obexunit.h"
#include "Paramclass.h"
#include "Programlog.h"
#include "local_file_size.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace zarnik {

namespace {

bool session_open = false;

const char* const kUsage =
    "usage: Zarnik <port> [<target path> <local file>]...\n"
    "  port         the COM port number (3 means COM3); on Linux also a device path such as /dev/ttyACM0\n"
    "  target path  folder/.../name on the handset ('/' or '\\' separate the parts)\n"
    "  local file   the PC file to send there\n";

enum class Load { Read, Unreadable, TooLarge };

// The whole file; Unreadable when it cannot be read to its end. A path that opens but does not
// read (a directory, on POSIX) is refused too: sent as an empty file, it would replace the
// handset's file of that name with nothing. Reading stops past the largest size a PUT can
// announce (a file that grew since it was checked, or one whose size cannot be asked).
Load load_file(const std::string& path, std::string& content)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return Load::Unreadable;
    }
    Load result = Load::Read;
    try {
        char block[65536];
        std::size_t n = 0;
        while (result == Load::Read && (n = std::fread(block, 1, sizeof block, file)) != 0) {
            if (std::uint64_t{content.size()} + n > kMaxLocalFileSize) {
                result = Load::TooLarge;
            } else {
                content.append(block, n);
            }
        }
        if (result == Load::Read && std::ferror(file) != 0) {
            result = Load::Unreadable;
        }
    } catch (const std::exception&) {
        result = Load::Unreadable;
    }
    std::fclose(file);
    return result;
}

int local_file_too_large(const std::string& local_file)
{
    printMessage("Local file too large to send (4 GiB or more):%s\n", local_file.c_str());
    program_log("Local file too large to send (4 GiB or more):%s\n", local_file.c_str());
    return kExitLocalFileTooLarge;
}

// Refuses, before anything is sent, a local file whose size a PUT's 32-bit Length cannot
// hold: it would be announced with its size cut short. 0, or the exit code.
int check_local_file_sizes(const std::vector<std::string>& arguments)
{
    for (std::size_t k = 1; k < arguments.size(); k += 2) {
        const std::optional<std::uint64_t> size = regular_file_size(arguments[k]);
        if (size && *size > kMaxLocalFileSize) {
            return local_file_too_large(arguments[k]);
        }
    }
    return 0;
}

// Reports how opening the session ended and notes an open one; returns the handle or error.
int session_opened(int handle)
{
    if (handle < 0) {
        printMessage("InitObex fail!!!\n");
        program_log("InitObex fail!!!\n");
        return handle;
    }
    session_open = true;
    program_log("InitObex OK!!!\n");
    return handle;
}

}  // namespace

int ReInitObex(int handle, int& maxDataLength)
{
    if (session_open) {
        ObexClose(handle);
    }
    int new_handle = InitObex(maxDataLength);
    if (new_handle < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        new_handle = InitObex(maxDataLength);
    }
    return session_opened(new_handle);
}

int zarnik_main(int argc, char** argv)
{
    codepage_init();
    if (!program_log_open()) {
        printMessage("Cannot create the program log Zarnik.log\n");
        return kExitNoProgramLog;
    }
    ParamClass params;
    if (!parserParam(argc, argv, params)) {
        printMessage("%s", kUsage);
        program_log("\nNo usable port argument!!!\n");
        return kExitUsage;
    }
    // Only targets with a local file are taken apart; an odd last target is ignored.
    for (std::size_t k = 0; k + 1 < params.arguments.size(); k += 2) {
        if (params.arguments[k].size() > kMaxTargetLength) {
            printMessage("Target path longer than %u bytes:%.60s...\n", kMaxTargetLength, params.arguments[k].c_str());
            program_log("Target path longer than %u bytes!!!\n", kMaxTargetLength);
            return kExitTargetTooLong;
        }
    }
    if (const int refused = check_local_file_sizes(params.arguments); refused != 0) {
        return refused;
    }

    program_log("loadding.....\n");
    if (params.device_path.empty()) {
        SetComport(params.comport);
    } else {
        SetComportDevice(params.device_path);
    }
    program_log("setting comport.....%d\n", params.comport);
    // From here a failure ends the run at once: no DISCONNECT, and the port is left to the end
    // of the process (its log then ends with the failing exchange).
    int maxDataLength = 0;
    int handle = session_opened(InitObex(maxDataLength));
    if (handle < 0) {
        return handle;
    }

    FileInfoList listing;
    std::string current_folder;
    std::string current_target;
    int files_sent = 0;
    for (std::size_t k = 0; k < params.arguments.size(); ++k) {
        if (k % 2 == 0) {
            current_target = params.arguments[k];
            continue;
        }
        const std::string& local_file = params.arguments[k];
        program_log("LoadFromFile %s\n", local_file.c_str());
        std::string content;
        const Load load = load_file(local_file, content);
        if (load != Load::Read) {
            int code = kExitLocalFileUnreadable;
            if (load == Load::TooLarge) {
                code = local_file_too_large(local_file);
            } else {
                printMessage("Cannot read local file:%s\n", local_file.c_str());
                program_log("Cannot read local file:%s\n", local_file.c_str());
            }
            ObexClose(handle);
            return code;
        }
        std::string folder;
        getPath(folder, current_target);
        if (folder != current_folder) {
            current_folder = folder;
            if (files_sent > 0) {
                // SETPATH only walks down; a fresh connection stands in the root again.
                handle = ReInitObex(handle, maxDataLength);
                if (handle < 0) {
                    return handle;
                }
                files_sent = 0;
            }
            SetPath2(handle, folder);
            listing.clear();
            GetFolderInfo(handle, listing);
        }
        std::string name;
        getFileName(name, current_target);
        if (listing.getIndexByName(name) != -1) {
            DeleteFile(handle, name);
        }
        std::istringstream stream(std::move(content));
        const int result = SendFile(handle, stream, name, maxDataLength);
        if (result < 0) {
            printMessage("Send file error fileName:%s\n", current_target.c_str());
            program_log("Send file error fileName:%s\n", current_target.c_str());
            return result;
        }
        ++files_sent;
    }
    ObexClose(handle);
    return kExitSent;
}

}  // namespace zarnik
