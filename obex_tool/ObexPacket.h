// OBEX packets: building the client's requests into a session's send buffer, joining received
// bursts into whole packets, and parsing a received packet into the session.
//
// Request layouts (packet length counts the whole packet):
//   CONNECT    0x80, len, version 0x10, flags 0x00, max packet length 0x2000, headers
//   DISCONNECT 0x81, len, headers
//   PUT        0x02 with a Body, else 0x82 (final), len, headers
//   GET        0x03 with a Body, else 0x83 (final), len, headers
//   SETPATH    0x85, len, flags & 0x03, 0x00, headers
//   ABORT      0xFF, len, headers
#pragma once

#include "ObexSession.h"

#include <cstddef>
#include <cstdint>

namespace zarnik {

enum ObexEvent : int {
    kObexEventConnect = 0,
    kObexEventPut = 4,
    kObexEventPutFinal = 5,
    kObexEventGet = 8,
    kObexEventSetPath = 11,
    kObexEventAbort = 13,
    kObexEventDisconnect = 15,
    kObexEventReceived = 17,
};

struct ObexRequest {
    const ObexHeaderSet* headers = nullptr;
    std::uint8_t flags = 0;  // SETPATH only
};

// Builds the request of a sending event into the session's send buffer and marks the request
// outstanding. False for an unknown event or headers that do not fit the buffer.
bool obex_build_request(ObexSession& session, const ObexRequest& request, int event);

// --- Joining bursts: the receive buffer holds `held` bytes from its start.
enum class ObexJoin {
    NeedMore,  // no whole packet yet
    Ready,     // a whole packet starts the buffer
    Invalid,   // the first packet's length is below 3 or beyond the buffer
};
ObexJoin obex_join_status(const std::uint8_t* buffer, std::size_t held, std::size_t capacity);
// Removes the first packet (ready) and moves what follows it to the start.
void obex_drop_front_packet(std::uint8_t* buffer, std::size_t& held);

// --- Parsing the packet that starts the session's receive buffer.
enum class ObexParse {
    Answer,       // the response to the outstanding request, filed in the session
    Invalid,      // lengths that do not add up: counts as no response (0xFE)
    Unsolicited,  // no request outstanding (a stray packet or a peer's request): answered Bad Request
    Ignored,      // the outstanding request is of no known kind: kept nothing of it
};
ObexParse obex_parse_packet(ObexSession& session);

// Builds and sends a request (sending events), or parses the packet at the start of the
// receive buffer (event 17). 1 when the event code is known, 0 otherwise; -1 when a request
// does not fit the send buffer and nothing was sent.
int IrObexDispatch(ObexSession& session, const ObexRequest& request, int event);

}  // namespace zarnik
