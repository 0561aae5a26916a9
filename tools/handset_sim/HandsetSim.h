// A simulated handset for tests, the demo and the benchmark: it opens a pseudo-terminal pair,
// answers AT command lines, and after "AT^SQWE=3" serves OBEX (CONNECT, SETPATH, GET of the
// folder listing, PUT create/replace/delete, ABORT, DISCONNECT) over it, keeping the files in
// a folder on disk. Its protocol code is its own, so that a fault shared with the client
// cannot hide.
//
// Faults are rules on the n-th request of a kind (counted from 1 since the start; 0 = every):
// kinds "at", "connect", "setpath", "get", "put", "delete", "abort", "disconnect".
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace handset_sim {

struct Rule {
    enum class Action {
        Refuse,  // answer with code (AT: "ERROR"), do nothing
        Ignore,  // no answer, do nothing
        Silent,  // no answer to this and anything after it
        Cut,     // do it, but send only the first `cut` bytes of the answer, and nothing more
        Glue,    // do it, and send `glue` right behind the answer in the same burst
        Lead,    // do it, and send `glue` right before the answer in the same burst
        Hangup,  // close the line (the client sees the device go away)
    };
    Action action = Action::Refuse;
    std::string kind;
    int nth = 0;
    std::uint8_t code = 0xC3;  // Forbidden
    std::size_t cut = 0;
    std::vector<std::uint8_t> glue;
};

enum class ListingStyle {
    Full,        // declaration, DOCTYPE, <folder-listing version="1.0"> ... </folder-listing>
    NoStartTag,  // declaration and DOCTYPE, but the root's start tag left out
    Bare,        // only the elements and the root's closing tag
};

struct Config {
    std::filesystem::path root;        // the handset's storage
    int max_packet = 0x2000;           // announced in the CONNECT response
    std::size_t burst = 0;             // split every OBEX answer into pieces of this size...
    std::chrono::milliseconds gap{0};  // ...separated by this pause
    int baud = 0;                      // pace the line at this rate (10 bits a byte); 0: no pacing
    std::size_t listing_chunk = 0;     // most listing bytes per GET response (0: what fits)
    ListingStyle listing_style = ListingStyle::Full;
    std::vector<Rule> rules;
};

struct Record {
    std::string kind;     // as in the rules; "unexpected" for packets that are no request
    std::string summary;  // e.g. "PUT name=a.txt length=3 body=0 creator=61646472 -> 90"
    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> response;
};

class HandsetSim {
public:
    explicit HandsetSim(Config config);
    ~HandsetSim();
    HandsetSim(const HandsetSim&) = delete;
    HandsetSim& operator=(const HandsetSim&) = delete;

    // Opens the pseudo-terminal and starts serving. False (with a reason) on failure.
    bool start(std::string& error);
    void stop();
    // Makes the pseudo-terminal the controlling terminal of this process's own new session
    // (a process that runs the simulator alone), so no other program takes it as its own.
    bool own_terminal();

    const std::string& slave_path() const;
    std::vector<Record> transcript() const;
    // Called on the serving thread for every record, as it is made.
    void on_record(std::function<void(const Record&)> sink);
    // Whether a hang-up rule has closed the line.
    bool hung_up() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Parses the text form of a rule: ACTION:KIND[#N][=VALUE], for example "refuse:put#2=c3",
// "ignore:at", "cut:connect=2", "glue:put#1=81 00 03", "lead:connect=0d 0a", "silent:get", "hangup:put#3".
bool parse_rule(const std::string& text, Rule& rule);

}  // namespace handset_sim
