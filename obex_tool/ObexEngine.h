// The OBEX request engine: two process-wide session slots addressed by connection id, and one
// operation per request that sends its packet and waits for the one response packet.
//
// Each request operation sets the response code: the handset's code, 0xFE when no valid
// response arrived, 0xFF when the id names no session. It returns the parsed headers of the
// response (valid until the session's next request), or nullptr on failure.
#pragma once

#include "ObexSession.h"

#include <cstdint>

namespace zarnik {

inline constexpr int kObexSessionSlots = 2;

// Frees both slots (the first InitObex of the process does this).
void obex_reset_sessions();
// The session of a connection id, or nullptr.
ObexSession* obex_session(int id);

// Takes a free slot, allocates its buffers, opens the port and switches the handset into OBEX
// mode. The connection id, or -1.
int IrObexOpenReq();
// max_data_length: the negotiated chunk size, -1 on any failure.
const ObexHeaderSet* IrObexConnectReq(int id, const ObexHeaderSet* headers, int& max_data_length, std::uint8_t& code);
const ObexHeaderSet* IrObexPutReq(int id, const ObexHeaderSet* headers, std::uint8_t& code);
const ObexHeaderSet* IrObexGetReq(int id, const ObexHeaderSet* headers, std::uint8_t& code);
const ObexHeaderSet* IrObexSetPathReq(int id, const ObexHeaderSet* headers, std::uint8_t& code, std::uint8_t flags);
const ObexHeaderSet* IrObexAbortReq(int id, const ObexHeaderSet* headers, std::uint8_t& code);
const ObexHeaderSet* IrObexDisconnectReq(int id, const ObexHeaderSet* headers, std::uint8_t& code);
// Closes the port and frees the slot. 0, or -1 for an unknown id.
int IrObexCloseReq(int id);

// Collects one response packet (joining bursts by the packet length) and parses it. Bytes of
// a following packet stay in the receive buffer for the next wait. False when no valid
// response arrived.
bool IrObexWaitResponse(ObexSession& session);

}  // namespace zarnik
