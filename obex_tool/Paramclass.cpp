#include "Paramclass.h"

#include "ComportDevice.h"
#include "Programlog.h"

#include <charconv>

bool parserParam(int argc, char** argv, ParamClass& params)
{
    if (argc < 2) {
        return false;
    }
    const std::string port = argv[1];
    program_log("parserParam comport:%s", port.c_str());
    for (int i = 2; i < argc; ++i) {
        program_log("parserParam index:%d value:%s\n", i, argv[i]);
        params.arguments.emplace_back(argv[i]);
    }
    if (port.find('/') != std::string::npos && serial_device_paths_allowed()) {
        params.device_path = port;
        return true;
    }
    const char* end = port.data() + port.size();
    const auto [stop, error] = std::from_chars(port.data(), end, params.comport);
    return !port.empty() && port[0] != '-' && error == std::errc() && stop == end;
}
