// The fault rules in force: which rule applies to the n-th request of a kind, the silence that a
// "silent" rule starts, and how "cut", "glue" and "lead" change an answer.
#pragma once

#include "HandsetSim.h"
#include "SimPacket.h"

#include <map>
#include <string>
#include <vector>

namespace handset_sim {

class FaultRules {
public:
    explicit FaultRules(std::vector<Rule> rules) : rules_(std::move(rules)) {}

    // Counts one request of kind (from 1 since the start) and returns the rule for it, or
    // nullptr. Once a silent rule has applied, no rule applies any more.
    const Rule* take(const std::string& kind);
    // True from the request a silent rule applied to: nothing is answered from then on.
    bool silent() const { return silent_; }

    // A rule that lets the request go unanswered: ignore, silent or hangup.
    static bool leaves_unanswered(const Rule& rule);
    // The answer as a cut, glue or lead rule changes it; other rules leave it.
    static void shape(const Rule& rule, Bytes& answer);

private:
    std::vector<Rule> rules_;
    std::map<std::string, int> counts_;
    bool silent_ = false;
};

}  // namespace handset_sim
