// The OBEX side of the handset: framing of the client's packets, CONNECT, SETPATH, GET of the
// folder listing, PUT create/replace/delete, ABORT and DISCONNECT on the store, with the fault
// rules applied to each request.
#pragma once

#include "HandsetSim.h"
#include "sim_dialog.h"
#include "SimPacket.h"
#include "SimStore.h"

#include <optional>
#include <string>

namespace handset_sim {

class ObexServer {
public:
    explicit ObexServer(const Config& config) : config_(config), store_(config.root) {}

    // Takes one whole packet from inbox and answers it. False when inbox holds no whole packet
    // yet; a line that starts with 'A' hands the client back to the AT dialog.
    bool handle_packet(Bytes& inbox, Dialog& dialog);

private:
    struct PutObject {
        std::string name;
        Bytes data;
    };

    std::string classify(const SimRequest& req) const;
    Bytes next_listing_piece();
    Bytes apply(const std::string& kind, const SimRequest& req, std::size_t packet_size);

    const Config& config_;
    SimStore store_;
    bool connected_ = false;
    int client_max_ = 255;
    std::optional<PutObject> object_;
    std::optional<std::string> listing_left_;
};

}  // namespace handset_sim
