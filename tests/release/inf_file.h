// A reader for Windows setup information (INF) files, enough to check the driver package's INF
// the way Windows' setup reads it: sections, keys and comma-separated values, quoted strings,
// comments, line continuations and %string% substitutions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace release_check {

// One line of a section: "key = v1, v2" or a bare value list "v1, v2" (key empty). Values keep
// empty fields ("HKR,,PortName" has three) and lose their quotes.
struct InfLine {
    std::string key;
    std::vector<std::string> values;
    int line_number = 0;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

class InfFile {
public:
    // Reads the text; false with a message naming the line for text setup would not take.
    bool parse(std::string_view text, std::string& error);

    // Section and key names compare without regard to case, as setup does. Sections of the same
    // name are read as one.
    const InfSection* section(std::string_view name) const;
    const InfLine* line(std::string_view section_name, std::string_view key) const;
    std::optional<std::string> value(std::string_view section_name, std::string_view key) const;
    const std::vector<InfSection>& sections() const { return sections_; }

    // The text with each %name% replaced from [Strings]; a name [Strings] lacks stays as it is.
    std::string expand(std::string_view text) const;

private:
    std::vector<InfSection> sections_;
};

bool same_name(std::string_view a, std::string_view b);

}  // namespace release_check
