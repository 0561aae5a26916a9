#include "ModeSwitch.h"

#include "Comport.h"

#include <cstdint>
#include <cstring>

namespace zarnik {

int SwitchToObexMode()
{
    static const char* const commands[] = {"AT+CGMM\r\n", "AT^SQWE=0\r\n", "AT^SQWE=3\r\n"};
    if (ComportOpen(115200) < 0) {
        return -1;
    }
    std::uint8_t reply[1024];
    for (const char* command : commands) {
        // The reply text is not examined: any answer counts, the CONNECT that follows decides.
        ObexSend(reinterpret_cast<const std::uint8_t*>(command), std::strlen(command));
        if (ObexRecv(reply, sizeof reply) <= 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace zarnik
