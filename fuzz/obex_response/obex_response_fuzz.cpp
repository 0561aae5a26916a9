// Arbitrary received bytes through the response joiner and the packet decoder: the first byte
// picks the kind of the outstanding request, the second the size of the bursts the rest
// arrives in.
#include "ObexPacket.h"

#include <algorithm>
#include <cstring>

using namespace zarnik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static ObexSession session = [] {
        ObexSession s;
        s.send_buffer.allocate(kObexBufferSize);
        s.receive_buffer.allocate(kObexBufferSize);
        s.connection_id = 0;
        return s;
    }();
    session.received_held = 0;
    session.maxDataLength = static_cast<int>(kObexBufferSize);
    const auto kind = static_cast<ObexRequestKind>(1 + data[0] % 5);
    const std::size_t burst = 1 + data[1];
    data += 2;
    size -= 2;

    std::uint8_t* buffer = session.receive_buffer.data();
    const std::size_t capacity = session.receive_buffer.capacity();
    while (size != 0) {
        const std::size_t n = std::min({burst, size, capacity - session.received_held});
        std::memcpy(buffer + session.received_held, data, n);
        session.received_held += n;
        data += n;
        size -= n;
        for (;;) {
            const ObexJoin join = obex_join_status(buffer, session.received_held, capacity);
            if (join == ObexJoin::Invalid) {
                session.received_held = 0;
            }
            if (join != ObexJoin::Ready) {
                break;
            }
            session.RequestKind = kind;
            session.request_outstanding = true;
            obex_parse_packet(session);
            obex_drop_front_packet(buffer, session.received_held);
            if (session.maxDataLength <= 0 || session.maxDataLength > static_cast<int>(kObexBufferSize)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
