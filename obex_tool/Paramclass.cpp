#include "Paramclass.h"

#include "ComportDevice.h"
#include "Programlog.h"

#include <charconv>

namespace zarnik {

bool parse_port_number(const std::string& text, int& number)
{
    // Any decimal integer names a port, with its sign: "-1" names COM-1, which then fails to
    // open like any missing port.
    const bool plus = !text.empty() && text[0] == '+';
    const char* begin = text.data() + (plus ? 1 : 0);
    const char* end = text.data() + text.size();
    if (begin == end || (plus && *begin == '-')) {
        return false;
    }
    const auto [stop, error] = std::from_chars(begin, end, number);
    return error == std::errc() && stop == end;
}

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
    return parse_port_number(port, params.comport);
}

}  // namespace zarnik
