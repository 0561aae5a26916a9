// One OBEX session slot: its packet buffers, the headers of its last response and the state of
// its outstanding request. The engine keeps two of them (ObexEngine.h).
#pragma once

#include "ObexHeaders.h"
#include "PacketBuffer.h"

#include <cstddef>
#include <cstdint>

namespace zarnik {

// Both packet buffers of a session; also the maximum packet length the client offers.
inline constexpr std::size_t kObexBufferSize = 8192;

enum ObexRequestKind : std::uint8_t {
    kRequestNone = 0,
    kRequestConnect = 1,
    kRequestDisconnect = 2,
    kRequestPut = 3,
    kRequestGet = 4,
    kRequestSetPathOrAbort = 5,
};

// Response codes the client acts on, and the two that never come from the wire.
inline constexpr std::uint8_t kObexContinue = 0x90;
inline constexpr std::uint8_t kObexSuccess = 0xA0;
inline constexpr std::uint8_t kObexBadRequest = 0xC0;
inline constexpr std::uint8_t kObexNoResponse = 0xFE;
inline constexpr std::uint8_t kObexNoSession = 0xFF;

inline bool obex_code_ok(std::uint8_t code)
{
    return code == kObexContinue || code == kObexSuccess;
}

struct ObexSession {
    int connection_id = -1;  // -1: free slot; otherwise the slot's index
    PacketBuffer send_buffer;
    int maxDataLength = 0;  // 8192 when opened; the negotiated chunk size after CONNECT
    PacketBuffer receive_buffer;
    std::size_t received_held = 0;  // bytes at the start of receive_buffer not yet parsed
    ObexHeaderSet parsed;
    std::uint8_t RequestKind = kRequestNone;
    std::uint8_t last_response_code = 0;
    bool request_outstanding = false;
};

}  // namespace zarnik
