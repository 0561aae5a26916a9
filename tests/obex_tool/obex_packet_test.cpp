// Request bytes, header decoding and the joining of received bursts, without a port.
#include "ObexEngine.h"
#include "ObexPacket.h"

#include "Codepage.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zarnik;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kService = {0x6B, 0x01, 0xCB, 0x31, 0x41, 0x06, 0x11, 0xD4, 0x9A, 0x77, 0x00, 0x50, 0xDA, 0x3F, 0x47, 0x1F};

struct SessionFixture : ::testing::Test {
    ObexSession session;
    void SetUp() override
    {
        ASSERT_TRUE(session.send_buffer.allocate(kObexBufferSize));
        ASSERT_TRUE(session.receive_buffer.allocate(kObexBufferSize));
        session.connection_id = 0;
        session.maxDataLength = static_cast<int>(kObexBufferSize);
    }
    Bytes build(const ObexHeaderSet* headers, int event, std::uint8_t flags = 0)
    {
        EXPECT_TRUE(obex_build_request(session, ObexRequest{headers, flags}, event));
        return Bytes(session.send_buffer.data(), session.send_buffer.data() + session.send_buffer.length());
    }
    // Files a received packet as the answer to an outstanding request of kind.
    ObexParse receive(const Bytes& packet, ObexRequestKind kind)
    {
        session.RequestKind = kind;
        session.request_outstanding = true;
        std::copy(packet.begin(), packet.end(), session.receive_buffer.data());
        session.received_held = packet.size();
        return obex_parse_packet(session);
    }
};

using RequestBytes = SessionFixture;

TEST_F(RequestBytes, ConnectWithTargetIs26Bytes)
{
    ObexHeaderSet headers;
    headers.set_bytes(kHeaderTarget, kService);
    Bytes expected = {0x80, 0x00, 0x1A, 0x10, 0x00, 0x20, 0x00, 0x46, 0x00, 0x13};
    expected.insert(expected.end(), kService.begin(), kService.end());
    EXPECT_EQ(build(&headers, kObexEventConnect), expected);
    EXPECT_TRUE(session.request_outstanding);
}

TEST_F(RequestBytes, SetPathWithNameA)
{
    ObexHeaderSet headers;
    headers.set_name("a");
    EXPECT_EQ(build(&headers, kObexEventSetPath, 0),
              (Bytes{0x85, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x00, 0x07, 0x00, 0x61, 0x00, 0x00}));
    EXPECT_EQ(build(&headers, kObexEventSetPath, 0xFF)[3], 0x03) << "only the two low flag bits go out";
}

TEST_F(RequestBytes, NameEncodings)
{
    ObexHeaderSet three;
    three.set_name("abc");
    EXPECT_EQ(build(&three, kObexEventPut),
              (Bytes{0x82, 0x00, 0x0E, 0x01, 0x00, 0x0B, 0x00, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00}));
    ObexHeaderSet empty;
    empty.set_name("");
    EXPECT_EQ(build(&empty, kObexEventPut), (Bytes{0x82, 0x00, 0x08, 0x01, 0x00, 0x05, 0x00, 0x00}));
    // Other text goes out as the code page's UTF-16 units, and the length always matches them.
    codepage_init();
    ObexHeaderSet accented;
    accented.set_name("\xC3\xA9");
    const std::u16string units = codepage_to_utf16(accented.name);
    Bytes expected = {0x82, 0x00, static_cast<std::uint8_t>(6 + 2 * (units.size() + 1)),
                      0x01, 0x00, static_cast<std::uint8_t>(3 + 2 * (units.size() + 1))};
    for (const char16_t unit : units) {
        expected.push_back(static_cast<std::uint8_t>(unit >> 8));
        expected.push_back(static_cast<std::uint8_t>(unit));
    }
    expected.insert(expected.end(), {0x00, 0x00});
    EXPECT_EQ(build(&accented, kObexEventPut), expected);
}

TEST_F(RequestBytes, PutHeadersGoInFixedOrder)
{
    ObexHeaderSet headers;
    headers.set_u32(kHeaderCreatorId, 0x61646472);
    headers.set_bytes(kHeaderBody, {});
    headers.set_u32(kHeaderLength, 3000);
    headers.set_name("x");
    EXPECT_EQ(build(&headers, kObexEventPut),
              (Bytes{0x02, 0x00, 0x17, 0x01, 0x00, 0x07, 0x00, 0x78, 0x00, 0x00, 0xC3, 0x00,
                     0x00, 0x0B, 0xB8, 0x48, 0x00, 0x03, 0xCF, 0x61, 0x64, 0x64, 0x72}));
}

TEST_F(RequestBytes, BodyWinsOverEndOfBodyAndDecidesTheOpcode)
{
    ObexHeaderSet both;
    both.set_bytes(kHeaderEndOfBody, {9});
    both.set_bytes(kHeaderBody, {1, 2});
    EXPECT_EQ(obex_header_set_size(&both), 5u);
    EXPECT_EQ(build(&both, kObexEventPut), (Bytes{0x02, 0x00, 0x08, 0x48, 0x00, 0x05, 0x01, 0x02}));
    ObexHeaderSet last;
    last.set_bytes(kHeaderEndOfBody, {7});
    EXPECT_EQ(build(&last, kObexEventPutFinal), (Bytes{0x82, 0x00, 0x07, 0x49, 0x00, 0x04, 0x07}));
    EXPECT_EQ(build(&both, kObexEventGet)[0], 0x03);
    EXPECT_EQ(build(&last, kObexEventGet)[0], 0x83);
}

TEST_F(RequestBytes, OtherRequestsAndBothTimeForms)
{
    EXPECT_EQ(build(nullptr, kObexEventDisconnect), (Bytes{0x81, 0x00, 0x03}));
    EXPECT_EQ(build(nullptr, kObexEventAbort), (Bytes{0xFF, 0x00, 0x03}));
    ObexHeaderSet headers;
    headers.set_u32(kHeaderTime, 0x01020304);
    headers.set_u32(kHeaderConnectionId, 5);
    headers.one_byte = 0x11;
    headers.present[kHeaderOneByte] = true;
    EXPECT_EQ(build(&headers, kObexEventDisconnect),
              (Bytes{0x81, 0x00, 0x0F, 0x91, 0x11, 0xCB, 0, 0, 0, 5, 0xC4, 1, 2, 3, 4}));
    headers.set_bytes(kHeaderTime, {'2', '0'});
    EXPECT_EQ(build(&headers, kObexEventDisconnect).back(), '0');
    EXPECT_EQ(obex_header_set_size(&headers), 2u + 5u + 5u);
}

TEST_F(RequestBytes, UnknownEventAndOversizedHeadersSendNothing)
{
    EXPECT_EQ(IrObexDispatch(session, ObexRequest{}, 3), 0);
    ObexHeaderSet big;
    big.set_bytes(kHeaderBody, Bytes(kObexBufferSize, 0));
    EXPECT_FALSE(obex_build_request(session, ObexRequest{&big, 0}, kObexEventPut));
    EXPECT_EQ(IrObexDispatch(session, ObexRequest{&big, 0}, kObexEventPut), -1);
}

using ResponseParsing = SessionFixture;

TEST_F(ResponseParsing, ConnectResponseSetsTheChunkSize)
{
    EXPECT_EQ(receive({0xA0, 0x00, 0x07, 0x10, 0x00, 0x04, 0x00}, kRequestConnect), ObexParse::Answer);
    EXPECT_EQ(session.maxDataLength, 1015);
    EXPECT_EQ(session.last_response_code, 0xA0);
    EXPECT_FALSE(session.request_outstanding);
    for (const std::uint16_t max : {0x2000, 0xFFFF}) {
        session.maxDataLength = static_cast<int>(kObexBufferSize);
        receive({0xA0, 0x00, 0x07, 0x10, 0x00, static_cast<std::uint8_t>(max >> 8), static_cast<std::uint8_t>(max)},
                kRequestConnect);
        EXPECT_EQ(session.maxDataLength, 8183) << max;
    }
}

TEST_F(ResponseParsing, ConnectResponseThatLeavesNoRoomForDataIsInvalid)
{
    EXPECT_EQ(receive({0xA0, 0x00, 0x07, 0x10, 0x00, 0x00, 0x09}, kRequestConnect), ObexParse::Invalid);
    EXPECT_EQ(session.last_response_code, kObexNoResponse);
    EXPECT_EQ(receive({0xA0, 0x00, 0x07, 0x10, 0x00, 0x00, 0x0A}, kRequestConnect), ObexParse::Answer);
    EXPECT_EQ(session.maxDataLength, 1);
    EXPECT_EQ(receive({0xA0, 0x00, 0x05, 0x10, 0x00}, kRequestConnect), ObexParse::Invalid) << "too short";
}

TEST_F(ResponseParsing, BodyAndEndOfBodyBothFilled)
{
    EXPECT_EQ(receive({0x90, 0x00, 0x0C, 0x48, 0x00, 0x04, 'a', 0x49, 0x00, 0x05, 'b', 'c'}, kRequestGet),
              ObexParse::Answer);
    EXPECT_EQ(session.last_response_code, 0x90);
    EXPECT_EQ(session.parsed.body, Bytes{'a'});
    EXPECT_EQ(session.parsed.end_of_body, (Bytes{'b', 'c'}));
    EXPECT_TRUE(session.parsed.present[kHeaderBody] && session.parsed.present[kHeaderEndOfBody]);
}

TEST_F(ResponseParsing, UnknownKindEndsDecodingAndKeepsWhatCameBefore)
{
    EXPECT_EQ(receive({0xA0, 0x00, 0x0D, 0xCB, 0, 0, 0, 7, 0x13, 0xFF, 0xFF, 0x48, 0x00}, kRequestPut),
              ObexParse::Answer);
    EXPECT_TRUE(session.parsed.present[kHeaderConnectionId]);
    EXPECT_EQ(session.parsed.connection_id, 7u);
    EXPECT_FALSE(session.parsed.present[kHeaderBody]);
}

TEST_F(ResponseParsing, NameAndTimeDecoding)
{
    receive({0xA0, 0x00, 0x13, 0x01, 0x00, 0x09, 0x00, 'h', 0x00, 'i', 0x00, 0x00, 0xC4, 0, 0, 1, 0, 0x91, 0x05},
            kRequestGet);
    EXPECT_EQ(session.parsed.name, std::string("hi\0", 3)) << "the terminator on the wire is counted";
    EXPECT_EQ(session.parsed.time_selector, 0xC0);
    EXPECT_EQ(session.parsed.time_value, 256u);
    EXPECT_EQ(session.parsed.one_byte, 5);
}

TEST_F(ResponseParsing, LengthsThatDoNotAddUpAreNoResponse)
{
    const std::vector<Bytes> broken = {
        {0xA0, 0x00, 0x05, 0x48, 0x00},              // header cut by the packet end
        {0xA0, 0x00, 0x06, 0x48, 0x00, 0x02},        // header length below 3
        {0xA0, 0x00, 0x06, 0x48, 0x00, 0x09},        // header past the packet
        {0xA0, 0x00, 0x07, 0xCB, 0x00, 0x00, 0x01},  // four-byte header cut short
        {0xA0, 0x00, 0x04, 0x91},                    // one-byte header cut short
        {0xA0, 0x00, 0x06, 0x04, 0x00, 0x03},        // Time of neither form
        {0xA0, 0x00, 0x06, 0x84, 0x00, 0x03},
    };
    for (const Bytes& packet : broken) {
        EXPECT_EQ(receive(packet, kRequestPut), ObexParse::Invalid) << testing::PrintToString(packet);
        EXPECT_EQ(session.last_response_code, kObexNoResponse);
        EXPECT_FALSE(session.request_outstanding);
    }
}

TEST_F(ResponseParsing, PacketsNobodyAskedFor)
{
    session.request_outstanding = false;
    std::copy_n(Bytes{0xA0, 0x00, 0x03}.begin(), 3, session.receive_buffer.data());
    session.received_held = 3;
    EXPECT_EQ(obex_parse_packet(session), ObexParse::Unsolicited);
    session.RequestKind = kRequestNone;
    session.request_outstanding = true;
    EXPECT_EQ(obex_parse_packet(session), ObexParse::Ignored);
    EXPECT_TRUE(session.request_outstanding) << "an unknown request kind keeps the flag";
}

TEST(PacketJoining, StatusFollowsThePacketLength)
{
    const Bytes two = {0xA0, 0x00, 0x03, 0x90, 0x00, 0x05, 0x01};
    EXPECT_EQ(obex_join_status(two.data(), 0, 8192), ObexJoin::NeedMore);
    EXPECT_EQ(obex_join_status(two.data(), 2, 8192), ObexJoin::NeedMore) << "length not known yet";
    EXPECT_EQ(obex_join_status(two.data(), 3, 8192), ObexJoin::Ready);
    Bytes buffer = two;
    std::size_t held = buffer.size();
    obex_drop_front_packet(buffer.data(), held);
    EXPECT_EQ(held, 4u);
    EXPECT_EQ(buffer[0], 0x90);
    EXPECT_EQ(obex_join_status(buffer.data(), held, 8192), ObexJoin::NeedMore) << "the rest of the partial packet";
    const Bytes tiny = {0xA0, 0x00, 0x02};
    EXPECT_EQ(obex_join_status(tiny.data(), 3, 8192), ObexJoin::Invalid);
    const Bytes huge = {0xA0, 0x20, 0x01};
    EXPECT_EQ(obex_join_status(huge.data(), 3, 8192), ObexJoin::Invalid);
}

// The largest answer is exactly the 8192 bytes the client announces: it is whole and is read.
TEST_F(ResponseParsing, AnAnswerOfTheAnnouncedSizeIsWhole)
{
    Bytes packet = {0xA0, 0x20, 0x00, 0x49, 0x1F, 0xFD};  // End of Body filling the rest
    for (std::size_t i = packet.size(); i < kObexBufferSize; ++i)
        packet.push_back(static_cast<std::uint8_t>(i * 7));
    ASSERT_EQ(packet.size(), 8192u);
    EXPECT_EQ(obex_join_status(packet.data(), packet.size() - 1, kObexBufferSize), ObexJoin::NeedMore);
    EXPECT_EQ(obex_join_status(packet.data(), packet.size(), kObexBufferSize), ObexJoin::Ready);
    EXPECT_EQ(receive(packet, kRequestGet), ObexParse::Answer);
    EXPECT_EQ(session.last_response_code, 0xA0);
    EXPECT_EQ(session.parsed.end_of_body, Bytes(packet.begin() + 6, packet.end()));
}

}  // namespace
