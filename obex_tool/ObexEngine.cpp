#include "ObexEngine.h"

#include "Comport.h"
#include "ModeSwitch.h"
#include "ObexPacket.h"

#include <cstring>

namespace zarnik {

namespace {

ObexSession (&slots())[kObexSessionSlots]
{
    static ObexSession table[kObexSessionSlots];
    return table;
}

void release_slot(ObexSession& session)
{
    session.send_buffer.release();
    session.receive_buffer.release();
    obex_release_headers(session.parsed);
    session = ObexSession{};
}

// The common pattern of the six request operations.
const ObexHeaderSet* request(int id, const ObexHeaderSet* headers, std::uint8_t flags, ObexRequestKind kind, int event,
                             std::uint8_t& code)
{
    ObexSession* session = obex_session(id);
    if (session == nullptr) {
        code = kObexNoSession;
        return nullptr;
    }
    obex_release_headers(session->parsed);
    session->RequestKind = kind;
    if (IrObexDispatch(*session, ObexRequest{headers, flags}, event) != 1 || !IrObexWaitResponse(*session)) {
        session->request_outstanding = false;
        code = kObexNoResponse;
        return nullptr;
    }
    code = session->last_response_code;
    return &session->parsed;
}

}  // namespace

void obex_reset_sessions()
{
    for (ObexSession& session : slots()) {
        release_slot(session);
    }
}

ObexSession* obex_session(int id)
{
    for (ObexSession& session : slots()) {
        if (session.connection_id >= 0 && session.connection_id == id) {
            return &session;
        }
    }
    return nullptr;
}

int IrObexOpenReq()
{
    for (int index = 0; index < kObexSessionSlots; ++index) {
        ObexSession& session = slots()[index];
        if (session.connection_id != -1) {
            continue;
        }
        session.connection_id = index;
        if (!session.send_buffer.allocate(kObexBufferSize) || !session.receive_buffer.allocate(kObexBufferSize)) {
            release_slot(session);
            return -1;
        }
        session.maxDataLength = static_cast<int>(kObexBufferSize);
        if (SwitchToObexMode() != 0) {
            ComportClose();
            release_slot(session);
            return -1;
        }
        return index;
    }
    return -1;
}

const ObexHeaderSet* IrObexConnectReq(int id, const ObexHeaderSet* headers, int& max_data_length, std::uint8_t& code)
{
    const ObexHeaderSet* parsed = request(id, headers, 0, kRequestConnect, kObexEventConnect, code);
    max_data_length = parsed != nullptr ? obex_session(id)->maxDataLength : -1;
    return parsed;
}

const ObexHeaderSet* IrObexPutReq(int id, const ObexHeaderSet* headers, std::uint8_t& code)
{
    return request(id, headers, 0, kRequestPut, kObexEventPut, code);
}

const ObexHeaderSet* IrObexGetReq(int id, const ObexHeaderSet* headers, std::uint8_t& code)
{
    return request(id, headers, 0, kRequestGet, kObexEventGet, code);
}

const ObexHeaderSet* IrObexSetPathReq(int id, const ObexHeaderSet* headers, std::uint8_t& code, std::uint8_t flags)
{
    return request(id, headers, flags, kRequestSetPathOrAbort, kObexEventSetPath, code);
}

const ObexHeaderSet* IrObexAbortReq(int id, const ObexHeaderSet* headers, std::uint8_t& code)
{
    return request(id, headers, 0, kRequestSetPathOrAbort, kObexEventAbort, code);
}

const ObexHeaderSet* IrObexDisconnectReq(int id, const ObexHeaderSet* headers, std::uint8_t& code)
{
    return request(id, headers, 0, kRequestDisconnect, kObexEventDisconnect, code);
}

int IrObexCloseReq(int id)
{
    ObexSession* session = obex_session(id);
    if (session == nullptr) {
        return -1;
    }
    ComportClose();
    release_slot(*session);
    return 0;
}

bool IrObexWaitResponse(ObexSession& session)
{
    std::uint8_t* buffer = session.receive_buffer.data();
    const std::size_t capacity = session.receive_buffer.capacity();
    std::size_t& held = session.received_held;
    std::size_t strays = 0;
    for (;;) {
        // Every response code has its high bit set. Bytes before one are strays, such as the
        // end of an AT reply that came after a pause: they would wreck the length of the answer.
        std::size_t stray = 0;
        while (stray < held && buffer[stray] < 0x80) {
            ++stray;
        }
        std::memmove(buffer, buffer + stray, held - stray);
        held -= stray;
        // A line that never stops babbling must not hold the wait for ever.
        strays += stray;
        if (strays > capacity) {
            held = 0;
            return false;
        }
        const ObexJoin join = obex_join_status(buffer, held, capacity);
        if (join == ObexJoin::Ready) {
            break;
        }
        // A length that cannot be right, or no further burst in time: no valid response.
        const int received = join == ObexJoin::Invalid ? 0 : ObexRecv(buffer + held, capacity - held);
        if (received <= 0) {
            held = 0;
            return false;
        }
        held += static_cast<std::size_t>(received);
    }
    bool answered = false;
    while (obex_join_status(buffer, held, capacity) == ObexJoin::Ready) {
        const ObexParse parse = obex_parse_packet(session);
        obex_drop_front_packet(buffer, held);
        if (parse == ObexParse::Invalid) {
            held = 0;
            return false;
        }
        answered = answered || parse == ObexParse::Answer;
    }
    // Bytes that cannot start a packet are dropped; a partial packet is kept for the next wait.
    if (obex_join_status(buffer, held, capacity) == ObexJoin::Invalid) {
        held = 0;
    }
    return answered;
}

}  // namespace zarnik
