#include "inf_file.h"

#include <cctype>

namespace release_check {

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

namespace {

std::string trim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

// One logical line split into fields at '=' (the first, outside quotes) and ','. A ';' outside
// quotes starts a comment; "" inside quotes is one quote.
struct Fields {
    bool has_equals = false;
    std::string key;
    std::vector<std::string> values;
};

bool split_fields(std::string_view text, Fields& out, std::string& problem)
{
    std::string field;
    bool quoted = false;
    bool in_quotes = false;
    auto finish_field = [&] {
        out.values.push_back(quoted ? field : trim(field));
        field.clear();
        quoted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_quotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                in_quotes = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            in_quotes = true;
            quoted = true;
            field = trim(field);
        } else if (c == ';') {
            break;
        } else if (c == '=' && !out.has_equals && out.values.empty()) {
            out.has_equals = true;
            out.key = trim(field);
            field.clear();
            quoted = false;
        } else if (c == ',') {
            finish_field();
        } else if (!quoted) {
            field += c;
        }
    }
    if (in_quotes) {
        problem = "a quoted string is not closed";
        return false;
    }
    if (!out.values.empty() || out.has_equals || !trim(field).empty() || quoted) {
        finish_field();
    }
    return true;
}

// Whether the line ends in a continuation mark '\' (outside quotes and comments).
bool continues(std::string_view text, std::string_view& without_mark)
{
    bool in_quotes = false;
    std::size_t end = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            in_quotes = !in_quotes;
        } else if (text[i] == ';' && !in_quotes) {
            end = i;
            break;
        }
    }
    const std::string body = trim(text.substr(0, end));
    if (body.empty() || body.back() != '\\') {
        return false;
    }
    without_mark = text.substr(0, text.substr(0, end).rfind('\\'));
    return true;
}

}  // namespace

bool InfFile::parse(std::string_view text, std::string& error)
{
    sections_.clear();
    InfSection* current = nullptr;
    std::string logical;
    int logical_start = 0;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view physical = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!physical.empty() && physical.back() == '\r') {
            physical.remove_suffix(1);
        }
        if (logical.empty()) {
            logical_start = number;
        }
        std::string_view without_mark;
        if (continues(physical, without_mark)) {
            logical += without_mark;
            if (at < text.size()) {
                continue;
            }
        } else {
            logical += physical;
        }
        const std::string line = trim(logical);
        logical.clear();
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string::npos) {
                error = "line " + std::to_string(logical_start) + ": a section name without ']'";
                return false;
            }
            const std::string name = trim(std::string_view(line).substr(1, close - 1));
            current = nullptr;
            for (InfSection& section : sections_) {
                if (same_name(section.name, name)) {
                    current = &section;
                }
            }
            if (current == nullptr) {
                sections_.push_back(InfSection{name, {}});
                current = &sections_.back();
            }
            continue;
        }
        if (current == nullptr) {
            error = "line " + std::to_string(logical_start) + ": an entry before the first section";
            return false;
        }
        Fields fields;
        std::string problem;
        if (!split_fields(line, fields, problem)) {
            error = "line " + std::to_string(logical_start) + ": " + problem;
            return false;
        }
        current->lines.push_back(InfLine{fields.key, fields.values, logical_start});
    }
    return true;
}

const InfSection* InfFile::section(std::string_view name) const
{
    for (const InfSection& section : sections_) {
        if (same_name(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

const InfLine* InfFile::line(std::string_view section_name, std::string_view key) const
{
    const InfSection* found = section(section_name);
    if (found == nullptr) {
        return nullptr;
    }
    for (const InfLine& line : found->lines) {
        if (same_name(line.key, key)) {
            return &line;
        }
    }
    return nullptr;
}

std::optional<std::string> InfFile::value(std::string_view section_name, std::string_view key) const
{
    const InfLine* found = line(section_name, key);
    if (found == nullptr || found->values.empty()) {
        return std::nullopt;
    }
    return found->values.front();
}

std::string InfFile::expand(std::string_view text) const
{
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find('%', at);
        const std::size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out += text.substr(at);
            break;
        }
        out += text.substr(at, open - at);
        const std::string_view name = text.substr(open + 1, close - open - 1);
        const std::optional<std::string> replacement = value("Strings", name);
        out += replacement ? *replacement : std::string(text.substr(open, close - open + 1));
        at = close + 1;
    }
    return out;
}

}  // namespace release_check
