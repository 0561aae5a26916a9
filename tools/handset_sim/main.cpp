// handset_sim: serves a simulated handset on a new pseudo-terminal until SIGINT or SIGTERM.
// It prints the pseudo-terminal's path on standard output.
#include "HandsetSim.h"
#include "SimPacket.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: handset_sim --root DIR [options]\n"
                 "  --link PATH            also make PATH a symbolic link to the pseudo-terminal\n"
                 "  --max-packet N         maximum packet length announced on CONNECT (default 0x2000)\n"
                 "  --burst N --gap-ms M   send answers in pieces of N bytes, M ms apart\n"
                 "  --baud N               pace the line at N baud\n"
                 "  --listing-chunk N      at most N listing bytes per GET response\n"
                 "  --listing-style S      full | no-start-tag | bare\n"
                 "  --rule R               ACTION:KIND[#N][=VALUE] (refuse, ignore, silent, cut, glue, lead, hangup)\n"
                 "  --transcript FILE      one line per request\n"
                 "  --raw-transcript FILE  every request and answer in hexadecimal\n");
    return 2;
}

int run(int argc, char** argv)
{
    handset_sim::Config config;
    std::string link, transcript_path, raw_path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        const std::string value = has_value ? argv[i + 1] : "";
        if (!has_value) {
            return usage();
        }
        ++i;
        if (arg == "--root") {
            config.root = value;
        } else if (arg == "--link") {
            link = value;
        } else if (arg == "--max-packet") {
            config.max_packet = static_cast<int>(std::stoul(value, nullptr, 0));
        } else if (arg == "--burst") {
            config.burst = std::stoul(value);
        } else if (arg == "--gap-ms") {
            config.gap = std::chrono::milliseconds(std::stoul(value));
        } else if (arg == "--baud") {
            config.baud = std::stoi(value);
        } else if (arg == "--listing-chunk") {
            config.listing_chunk = std::stoul(value);
        } else if (arg == "--listing-style") {
            config.listing_style = value == "bare"           ? handset_sim::ListingStyle::Bare
                                   : value == "no-start-tag" ? handset_sim::ListingStyle::NoStartTag
                                                             : handset_sim::ListingStyle::Full;
        } else if (arg == "--rule") {
            handset_sim::Rule rule;
            if (!handset_sim::parse_rule(value, rule)) {
                std::fprintf(stderr, "handset_sim: bad rule %s\n", value.c_str());
                return usage();
            }
            config.rules.push_back(rule);
        } else if (arg == "--transcript") {
            transcript_path = value;
        } else if (arg == "--raw-transcript") {
            raw_path = value;
        } else {
            return usage();
        }
    }
    if (config.root.empty()) {
        return usage();
    }
    std::filesystem::create_directories(config.root);

    std::ofstream transcript, raw;
    if (!transcript_path.empty()) {
        transcript.open(transcript_path, std::ios::trunc);
    }
    if (!raw_path.empty()) {
        raw.open(raw_path, std::ios::trunc);
    }
    handset_sim::HandsetSim sim(config);
    sim.on_record([&](const handset_sim::Record& r) {
        if (transcript.is_open()) {
            transcript << r.summary << '\n' << std::flush;
        }
        if (raw.is_open()) {
            raw << "> " << handset_sim::hex(r.request) << "\n< " << handset_sim::hex(r.response) << '\n' << std::flush;
        }
    });
    std::string error;
    if (!sim.start(error)) {
        std::fprintf(stderr, "handset_sim: %s\n", error.c_str());
        return 1;
    }
    // Nobody else (a Wine server, say) may take this terminal as its controlling terminal and
    // be hung up when the simulator ends.
    sim.own_terminal();
    if (!link.empty()) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(sim.slave_path(), link);
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::printf("%s\n", sim.slave_path().c_str());
    std::fflush(stdout);
    while (stop_requested == 0 && !sim.hung_up()) {
        usleep(20000);
    }
    sim.stop();
    return 0;
}

}  // namespace

// A value that is no number, or too large, is a usage error; a folder or link that cannot be made
// ends the run with its reason. Neither may end it with an uncaught exception.
int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::invalid_argument&) {
        std::fprintf(stderr, "handset_sim: an option's value is not a number\n");
        return usage();
    } catch (const std::out_of_range&) {
        std::fprintf(stderr, "handset_sim: an option's value is out of range\n");
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "handset_sim: %s\n", e.what());
        return 1;
    }
}
