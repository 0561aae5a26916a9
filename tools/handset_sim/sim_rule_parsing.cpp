// The text form of a fault rule: ACTION:KIND[#N][=VALUE].
#include "HandsetSim.h"

#include <cstdlib>
#include <map>
#include <string>

namespace handset_sim {

bool parse_rule(const std::string& text, Rule& rule)
{
    static const std::map<std::string, Rule::Action> actions = {
        {"refuse", Rule::Action::Refuse}, {"ignore", Rule::Action::Ignore}, {"silent", Rule::Action::Silent},
        {"cut", Rule::Action::Cut},       {"glue", Rule::Action::Glue},     {"hangup", Rule::Action::Hangup},
        {"lead", Rule::Action::Lead}};
    const auto colon = text.find(':');
    if (colon == std::string::npos || actions.count(text.substr(0, colon)) == 0) {
        return false;
    }
    rule = Rule{};
    rule.action = actions.at(text.substr(0, colon));
    std::string rest = text.substr(colon + 1);
    std::string value;
    if (const auto eq = rest.find('='); eq != std::string::npos) {
        value = rest.substr(eq + 1);
        rest.erase(eq);
    }
    if (const auto hash = rest.find('#'); hash != std::string::npos) {
        rule.nth = std::atoi(rest.c_str() + hash + 1);
        rest.erase(hash);
    }
    rule.kind = rest;
    if (rule.kind.empty()) {
        return false;
    }
    if (!value.empty()) {
        switch (rule.action) {
            case Rule::Action::Refuse:
                rule.code = static_cast<std::uint8_t>(std::stoul(value, nullptr, 16));
                break;
            case Rule::Action::Cut:
                rule.cut = std::stoul(value);
                break;
            case Rule::Action::Glue:
            case Rule::Action::Lead:
                for (std::size_t at = 0; at < value.size();) {
                    if (value[at] == ' ') {
                        ++at;
                        continue;
                    }
                    rule.glue.push_back(static_cast<std::uint8_t>(std::stoul(value.substr(at, 2), nullptr, 16)));
                    at += 2;
                }
                break;
            default:
                break;
        }
    }
    return true;
}

}  // namespace handset_sim
