// The parsed command line: Zarnik <port> [<target path> <local file>]...
#pragma once

#include <string>
#include <vector>

namespace zarnik {

struct ParamClass {
    int comport = 0;                     // 3 means COM3
    std::string device_path;             // POSIX: a first argument that contains '/' names the device itself
    std::vector<std::string> arguments;  // the second and all further arguments, in order
};

// Logs the arguments and fills params. False when the port argument is missing or is neither a
// decimal integer (optionally signed) nor (where the platform allows it) a device path.
bool parserParam(int argc, char** argv, ParamClass& params);

// The port number of a port argument: a decimal integer, optionally signed. False otherwise.
bool parse_port_number(const std::string& text, int& number);

}  // namespace zarnik
