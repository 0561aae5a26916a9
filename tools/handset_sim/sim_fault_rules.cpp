#include "sim_fault_rules.h"

#include <algorithm>

namespace handset_sim {

const Rule* FaultRules::take(const std::string& kind)
{
    const int nth = ++counts_[kind];
    if (silent_) {
        return nullptr;
    }
    for (const Rule& rule : rules_) {
        if (rule.kind == kind && (rule.nth == 0 || rule.nth == nth)) {
            silent_ = rule.action == Rule::Action::Silent;
            return &rule;
        }
    }
    return nullptr;
}

bool FaultRules::leaves_unanswered(const Rule& rule)
{
    return rule.action == Rule::Action::Ignore || rule.action == Rule::Action::Silent ||
           rule.action == Rule::Action::Hangup;
}

void FaultRules::shape(const Rule& rule, Bytes& answer)
{
    switch (rule.action) {
        case Rule::Action::Cut:
            answer.resize(std::min(rule.cut, answer.size()));
            break;
        case Rule::Action::Glue:
            answer.insert(answer.end(), rule.glue.begin(), rule.glue.end());
            break;
        case Rule::Action::Lead:
            answer.insert(answer.begin(), rule.glue.begin(), rule.glue.end());
            break;
        default:
            break;
    }
}

}  // namespace handset_sim
