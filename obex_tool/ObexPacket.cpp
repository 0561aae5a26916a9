#include "ObexPacket.h"

#include "Comport.h"

#include <cstring>

namespace zarnik {

namespace {

constexpr std::uint8_t kObexVersion = 0x10;
constexpr std::uint16_t kLargestChunk = 0x1FF7;  // 8192 - 9
constexpr int kSmallestPeerPacket = 10;          // leaves at least one byte of data

struct Layout {
    std::uint8_t opcode;
    std::size_t fixed;  // bytes before the headers
};

bool layout_for(int event, const ObexHeaderSet* headers, Layout& layout)
{
    const bool has_body = headers != nullptr && headers->present[kHeaderBody];
    switch (event) {
        case kObexEventConnect:
            layout = {0x80, 7};
            return true;
        case kObexEventDisconnect:
            layout = {0x81, 3};
            return true;
        case kObexEventPut:
        case kObexEventPutFinal:
            layout = {static_cast<std::uint8_t>(has_body ? 0x02 : 0x82), 3};
            return true;
        case kObexEventGet:
            layout = {static_cast<std::uint8_t>(has_body ? 0x03 : 0x83), 3};
            return true;
        case kObexEventSetPath:
            layout = {0x85, 5};
            return true;
        case kObexEventAbort:
            layout = {0xFF, 3};
            return true;
        default:
            return false;
    }
}

ObexParse file_invalid(ObexSession& session)
{
    session.request_outstanding = false;
    obex_release_headers(session.parsed);
    session.last_response_code = kObexNoResponse;
    return ObexParse::Invalid;
}

ObexParse file_connect_response(ObexSession& session, const std::uint8_t* packet, std::size_t length)
{
    session.request_outstanding = false;
    session.last_response_code = packet[0];
    if (length < 7 || !obex_decode_headers(packet + 7, length - 7, session.parsed)) {
        return file_invalid(session);
    }
    const int peer_max = read_be16(packet + 5);
    if (peer_max < kSmallestPeerPacket) {
        return file_invalid(session);
    }
    session.maxDataLength = peer_max < session.maxDataLength ? peer_max - 9 : kLargestChunk;
    return ObexParse::Answer;
}

}  // namespace

bool obex_build_request(ObexSession& session, const ObexRequest& request, int event)
{
    Layout layout{};
    if (!layout_for(event, request.headers, layout)) {
        return false;
    }
    PacketBuffer& out = session.send_buffer;
    out.reset();
    session.request_outstanding = true;
    const std::size_t total = layout.fixed + obex_header_set_size(request.headers);
    if (total > out.capacity() || total > 0xFFFF) {
        return false;
    }
    out.put_u8(layout.opcode);
    out.put_u16(static_cast<std::uint16_t>(total));
    if (event == kObexEventConnect) {
        out.put_u8(kObexVersion);
        out.put_u8(0x00);
        out.put_u16(static_cast<std::uint16_t>(kObexBufferSize));
    } else if (event == kObexEventSetPath) {
        out.put_u8(request.flags & 0x03);
        out.put_u8(0x00);
    }
    return obex_encode_headers(request.headers, out) && out.length() == total;
}

ObexJoin obex_join_status(const std::uint8_t* buffer, std::size_t held, std::size_t capacity)
{
    if (held < 3) {
        return ObexJoin::NeedMore;
    }
    const std::size_t length = read_be16(buffer + 1);
    if (length < 3 || length > capacity) {
        return ObexJoin::Invalid;
    }
    return held >= length ? ObexJoin::Ready : ObexJoin::NeedMore;
}

void obex_drop_front_packet(std::uint8_t* buffer, std::size_t& held)
{
    const std::size_t length = read_be16(buffer + 1);
    std::memmove(buffer, buffer + length, held - length);
    held -= length;
}

ObexParse obex_parse_packet(ObexSession& session)
{
    const std::uint8_t* packet = session.receive_buffer.data();
    const std::size_t length = read_be16(packet + 1);
    if (session.request_outstanding) {
        switch (session.RequestKind) {
            case kRequestConnect:
                return file_connect_response(session, packet, length);
            case kRequestDisconnect:
            case kRequestPut:
            case kRequestGet:
            case kRequestSetPathOrAbort:
                session.request_outstanding = false;
                session.last_response_code = packet[0];
                if (!obex_decode_headers(packet + 3, length - 3, session.parsed)) {
                    return file_invalid(session);
                }
                return ObexParse::Answer;
            default:
                return ObexParse::Ignored;
        }
    }
    // Not an answer. A stray packet gets Bad Request, and so does a request of the peer, which
    // this client does not serve; nothing of it is kept.
    static const std::uint8_t bad_request[] = {kObexBadRequest, 0x00, 0x03};
    ObexSend(bad_request, sizeof bad_request);
    return ObexParse::Unsolicited;
}

int IrObexDispatch(ObexSession& session, const ObexRequest& request, int event)
{
    if (event == kObexEventReceived) {
        obex_parse_packet(session);
        return 1;
    }
    Layout layout{};
    if (!layout_for(event, request.headers, layout)) {
        return 0;
    }
    if (!obex_build_request(session, request, event)) {
        return -1;
    }
    ObexSend(session.send_buffer.data(), session.send_buffer.length());
    return 1;
}

}  // namespace zarnik
