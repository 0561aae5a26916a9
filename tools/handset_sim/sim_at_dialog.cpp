// The AT dialog before OBEX: every line is answered "OK" ("AT+CGMM" with a model name first),
// a refuse rule answers "ERROR", and "AT^SQWE=3" answered OK switches the line to OBEX.
#include "sim_dialog.h"

#include <algorithm>

namespace handset_sim {

bool handle_at_line(Bytes& inbox, Dialog& dialog)
{
    const auto end = std::find_if(inbox.begin(), inbox.end(), [](std::uint8_t b) { return b == '\r' || b == '\n'; });
    if (end == inbox.end()) {
        return false;
    }
    const std::string line(inbox.begin(), end);
    inbox.erase(inbox.begin(), end + 1);
    if (line.empty()) {
        return true;
    }
    const Bytes request(line.begin(), line.end());
    const std::string summary = "AT " + line;
    const Rule* rule = dialog.rules.take("at");
    if (dialog.rules.silent() || (rule != nullptr && rule->action != Rule::Action::Refuse)) {
        dialog.leave_unanswered("at", summary, request, rule);
        return true;
    }
    const bool refused = rule != nullptr;
    const std::string reply = refused             ? "\r\nERROR\r\n"
                              : line == "AT+CGMM" ? "\r\nSIM-HANDSET\r\n\r\nOK\r\n"
                                                  : "\r\nOK\r\n";
    dialog.answer("at", summary + (refused ? " -> ERROR" : " -> OK"), request, Bytes(reply.begin(), reply.end()));
    if (!refused && line == "AT^SQWE=3") {
        dialog.obex_mode = true;
    }
    return true;
}

}  // namespace handset_sim
