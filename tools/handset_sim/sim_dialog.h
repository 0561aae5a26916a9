// What the AT dialog and the OBEX server share: the line, the fault rules, the transcript, and
// which of the two the client is talking to.
#pragma once

#include "HandsetSim.h"
#include "sim_fault_rules.h"
#include "sim_line.h"
#include "SimPacket.h"

#include <functional>
#include <string>

namespace handset_sim {

struct Dialog {
    SimLine& line;
    FaultRules& rules;
    std::function<void(const Record&)> record;
    bool obex_mode = false;

    // Sends the answer (OBEX answers in bursts) and records the exchange.
    void answer(const std::string& kind, const std::string& summary, const Bytes& request, const Bytes& response)
    {
        line.send(response, obex_mode);
        record(Record{kind, summary, request, response});
    }

    // Records the request as unanswered and closes the line when the rule is a hang-up.
    void leave_unanswered(const std::string& kind, const std::string& summary, const Bytes& request, const Rule* rule)
    {
        record(Record{kind, summary + " -> (no answer)", request, {}});
        if (rule != nullptr && rule->action == Rule::Action::Hangup) {
            line.hang_up();
        }
    }
};

// AT command mode: takes one line from inbox and answers it ("AT^SQWE=3" switches to OBEX).
// False when inbox holds no whole line yet.
bool handle_at_line(Bytes& inbox, Dialog& dialog);

}  // namespace handset_sim
