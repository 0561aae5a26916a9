// The engine and the session operations against the simulated handset over a pseudo-terminal.
#include "LinkFixture.h"
#include "Folderlisting.h"
#include "Obexunit.h"

#include <algorithm>
#include <chrono>
#include <sstream>

using namespace zarnik;

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

handset_sim::Config with_rules(std::initializer_list<const char*> rules, int max_packet = 0x2000)
{
    handset_sim::Config config;
    config.max_packet = max_packet;
    for (const char* text : rules) {
        EXPECT_TRUE(handset_sim::parse_rule(text, config.rules.emplace_back())) << text;
    }
    return config;
}

std::string pattern(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + i % 23);
    }
    return data;
}

class Session : public HandsetLink {
protected:
    int connect(int expected_chunk)
    {
        int chunk = 0;
        const int id = InitObex(chunk);
        EXPECT_GE(id, 0);
        EXPECT_EQ(chunk, expected_chunk);
        return id;
    }
};

const char* const kConnect = "CONNECT version=10 flags=00 max=8192 target=6b01cb31410611d49a770050da3f471f -> a0";

TEST_F(Session, ConnectNegotiatesTheChunkAndCloseDisconnects)
{
    start(with_rules({}, 0x0400));
    const int id = connect(1015);
    EXPECT_EQ(ObexClose(id), 0);
    EXPECT_EQ(obex_requests(), (Lines{kConnect, "DISCONNECT -> a0"}));
    EXPECT_NE(program_log_text().find("ObexClose\n"), std::string::npos);
    ComportClose();
    EXPECT_NE(port_log().find("ComportClose\n"), std::string::npos);

    start(with_rules({}, 0xFFFF));
    ObexClose(connect(8183));
}

TEST_F(Session, RefusedConnectKeepsTheSlotUntilNoneIsLeft)
{
    start(with_rules({"refuse:connect"}));
    int chunk = 0;
    EXPECT_EQ(InitObex(chunk), -3);
    EXPECT_EQ(InitObex(chunk), -3) << "the second slot is still free";
    EXPECT_EQ(InitObex(chunk), -2) << "no free slot";
    const std::string log = program_log_text();
    EXPECT_NE(log.find("IrObexConnectReq error!!\nIrObexConnectReq error!!\nIrObexOpenReq error!!\n"),
              std::string::npos);
}

TEST_F(Session, LeftoverOfTheAtDialogBeforeTheConnectAnswerIsSkipped)
{
    start(with_rules({"lead:connect=4f 4b 0d 0a"}));
    ObexClose(connect(8183));
}

// As many stray bytes as a whole packet are still skipped; one more and the wait gives up.
TEST_F(Session, BabbleOfMoreThanAPacketBeforeTheAnswerIsNoResponse)
{
    for (const std::size_t count : {kObexBufferSize, kObexBufferSize + 1}) {
        std::string babble = "lead:setpath#1=";
        for (std::size_t i = 0; i < count; ++i) {
            babble += "41 ";
        }
        handset_sim::Config config = with_rules({babble.c_str()});
        config.burst = 512;
        config.gap = std::chrono::milliseconds(4);
        start(config);
        const int id = connect(8183);
        if (count == kObexBufferSize) {
            EXPECT_EQ(SetPath(id, "a"), 0) << count << " stray bytes";
        } else {
            EXPECT_EQ(SetPath(id, "a"), -9) << count << " stray bytes";
            EXPECT_NE(program_log_text().find("SetPath a error!!!code:feh\n"), std::string::npos);
        }
        TearDown();
    }
}

TEST_F(Session, HandsetPacketTooSmallForDataFailsTheConnect)
{
    start(with_rules({}, 9));
    int chunk = 0;
    EXPECT_EQ(InitObex(chunk), -3);
}

TEST_F(Session, FileGoesOutInChunksOfTheNegotiatedSize)
{
    start(with_rules({}, 0x0400));
    const int id = connect(1015);
    std::istringstream file(pattern(3000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendFile(id, file, "x.txt", 1015), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Now begin send file:x.txt\n000\r\r\r033\r\r\r067\r\r\r100\nEnd send file:x.txt\n");
    EXPECT_EQ(obex_requests(), (Lines{kConnect, "PUT name=x.txt length=3000 body=0 creator=61646472 -> 90",
                                      "PUT body=1015 -> 90", "PUT body=1015 -> 90", "PUT final eob=970 -> a0"}));
    EXPECT_EQ(read_text(handset_root() / "x.txt"), pattern(3000));
    const std::string log = program_log_text();
    EXPECT_NE(log.find("Now send file:x.txt dataSize:\nPosition:033\nPosition:067\nPosition:100\n"), std::string::npos);
}

TEST_F(Session, OneChunkFileAndEmptyFileEndWithAFinalPacket)
{
    start(with_rules({}, 0x0400));
    const int id = connect(1015);
    std::istringstream one(pattern(1015));
    std::istringstream none;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendFile(id, one, "one", 1015), 0);
    EXPECT_EQ(SendFile(id, none, "none", 1015), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Now begin send file:one\n000\r\r\r100\nEnd send file:one\n"
              "Now begin send file:none\n000\nEnd send file:none\n")
        << "the empty file's closing packet carries no data and shows no progress";
    EXPECT_NE(program_log_text().find(
                  "Position:100\n\nEnd send file:one\nNow send file:none dataSize:\n\nEnd send file:none\n"),
              std::string::npos);
    EXPECT_EQ(obex_requests(),
              (Lines{kConnect, "PUT name=one length=1015 body=0 creator=61646472 -> 90", "PUT final eob=1015 -> a0",
                     "PUT name=none length=0 body=0 creator=61646472 -> 90", "PUT final eob=0 -> a0"}));
    EXPECT_TRUE(std::filesystem::exists(handset_root() / "none"));
}

TEST_F(Session, RefusedFirstAndLaterPackets)
{
    start(with_rules({"refuse:put#1=c3", "refuse:put#4=d0"}, 0x0400));
    const int id = connect(1015);
    std::istringstream file(pattern(3000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendFile(id, file, "x.txt", 1015), -6);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Now begin send file:x.txt\nSendFile IrObexPutReq error!!! Code:c3\n");
    std::istringstream again(pattern(3000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendFile(id, again, "x.txt", 1015), -7);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("\r\r\r067SendFile IrObexPutReq send data error!!!\n"),
              std::string::npos);
    const std::string log = program_log_text();
    EXPECT_NE(log.find("SendFile IrObexPutReq error!!!  Code:c3\n"), std::string::npos);
    EXPECT_EQ(obex_requests().back(), "PUT body=1015 -> d0") << "no ABORT after a refused data packet";
}

TEST_F(Session, DeleteAndRefusedDeleteFollowedByAbort)
{
    start(with_rules({"refuse:delete#2"}));
    std::filesystem::create_directories(handset_root());
    std::ofstream(handset_root() / "old.txt") << "old";
    const int id = connect(8183);
    EXPECT_EQ(DeleteFile(id, "old.txt"), 0);
    EXPECT_FALSE(std::filesystem::exists(handset_root() / "old.txt"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(DeleteFile(id, "other.txt"), -7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DeleteFile other.txt error\n");
    EXPECT_EQ(obex_requests(),
              (Lines{kConnect, "DELETE name=old.txt -> a0", "DELETE name=other.txt -> c3", "ABORT -> a0"}));
    EXPECT_NE(program_log_text().find("DeleteFile:other.txt error!!Code:c3\n"), std::string::npos);
}

TEST_F(Session, FolderWalkSkipsEmptyPiecesOfMixedSeparators)
{
    start(with_rules({"refuse:setpath#3"}));
    const int id = connect(8183);
    EXPECT_EQ(SetPath2(id, "\\a\\\\b/"), 0);
    EXPECT_EQ(obex_requests(), (Lines{kConnect, "SETPATH flags=00 name=a -> a0", "SETPATH flags=00 name=b -> a0"}));
    EXPECT_TRUE(std::filesystem::is_directory(handset_root() / "a" / "b"));
    EXPECT_EQ(SetPath(id, "c"), -9);
    EXPECT_NE(program_log_text().find("SetPath b OK!\nExit SetPath2\nSetPath c error!!!code:c3h\n"), std::string::npos);
}

TEST_F(Session, AnswersSplitIntoSmallBurstsAreJoined)
{
    handset_sim::Config config = with_rules({}, 0x0400);
    config.burst = 2;
    config.gap = std::chrono::milliseconds(8);
    start(config);
    const int id = connect(1015);
    std::istringstream file(pattern(2000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendFile(id, file, "split", 1015), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_text(handset_root() / "split"), pattern(2000));
}

TEST_F(Session, PacketsGluedToAnAnswerGetBadRequest)
{
    start(with_rules({"glue:setpath#1=82 00 03", "glue:setpath#2=a0 00 03"}));
    const int id = connect(8183);
    EXPECT_EQ(SetPath(id, "a"), 0) << "a peer's request behind the answer";
    EXPECT_EQ(SetPath(id, "b"), 0) << "a stray answer behind the real one is not taken for the next";
    EXPECT_EQ(SetPath(id, "c"), 0);
    EXPECT_EQ(obex_requests(),
              (Lines{kConnect, "SETPATH flags=00 name=a -> a0", "UNEXPECTED c0 00 03", "SETPATH flags=00 name=b -> a0",
                     "UNEXPECTED c0 00 03", "SETPATH flags=00 name=c -> a0"}));
}

TEST_F(Session, CutOrMissingAnswersCountAsNoResponseAndTheSessionGoesOn)
{
    comport_timing().first_byte_wait = std::chrono::milliseconds(300);
    start(with_rules({"cut:setpath#1=2", "ignore:setpath#2", "glue:setpath#3=a0 00 05 48"}));
    const int id = connect(8183);
    for (const char* name : {"a", "b"}) {
        const auto begin = Clock::now();
        EXPECT_EQ(SetPath(id, name), -9) << name;
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(2));
    }
    EXPECT_EQ(SetPath(id, "c"), 0);
    // The partial packet behind c's answer was kept; with d's answer it makes no valid packet.
    EXPECT_EQ(SetPath(id, "d"), -9);
    EXPECT_EQ(SetPath(id, "e"), 0);
    const std::string log = program_log_text();
    EXPECT_NE(log.find("SetPath a error!!!code:feh\nSetPath b error!!!code:feh\nSetPath c OK!\n"
                       "SetPath d error!!!code:feh\nSetPath e OK!\n"),
              std::string::npos);
}

TEST_F(Session, ConnectAnswerThatNeverCompletesFailsTheConnect)
{
    comport_timing().first_byte_wait = std::chrono::milliseconds(300);
    start(with_rules({"cut:connect=10"}));
    int chunk = 0;
    EXPECT_EQ(InitObex(chunk), -3);
}

class Listing : public Session {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(handset_root() / "P");
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
            std::ofstream(handset_root() / "P" / name) << name;
        }
    }
    int enter(handset_sim::Config config)
    {
        config.listing_chunk = 50;
        start(config);
        const int id = connect(8183);
        SetPath(id, "P");
        return id;
    }
    FileInfoList list;
};

TEST_F(Listing, SpreadOverSeveralAnswersIsReadWhole)
{
    const int id = enter({});
    EXPECT_EQ(GetFolderInfo(id, list), 0);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].name, "c.txt");
    EXPECT_EQ(list[2].size, 5);
    EXPECT_EQ(list[2].user_perm, "RWD");
    const Lines requests = obex_requests();
    EXPECT_GE(std::count(requests.begin(), requests.end(), "GET final -> 90"), 3);
    EXPECT_EQ(requests.back(), "GET final -> a0");
    EXPECT_NE(program_log_text().find("FileInfoList add object FileName:a.txt\n"), std::string::npos);
}

TEST_F(Listing, ManyAnswersAreReadWhole)
{
    for (int i = 0; i < 30; ++i)
        std::ofstream(handset_root() / "P" / ("file" + std::to_string(i) + ".txt")) << i;
    const int id = enter({});
    EXPECT_EQ(GetFolderInfo(id, list), 0);
    EXPECT_EQ(list.size(), 33u);
    const Lines requests = obex_requests();
    EXPECT_GE(std::count(requests.begin(), requests.end(), "GET final -> 90"), 20);
}

// Answers without text end the listing only when eight come in a row; text in between starts
// the count again.
TEST_F(Listing, EmptyAnswersCountOnlyInARow)
{
    auto empty_answers = [](const std::vector<int>& which) {
        handset_sim::Config config;
        for (int nth : which)
            EXPECT_TRUE(
                handset_sim::parse_rule("refuse:get#" + std::to_string(nth) + "=90", config.rules.emplace_back()));
        return config;
    };
    int id = enter(empty_answers({2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(GetFolderInfo(id, list), 0);
    EXPECT_EQ(list.size(), 3u);
    TearDown();

    std::vector<int> eight;
    for (int nth = 2; nth < 2 + kListingStallLimit; ++nth)
        eight.push_back(nth);
    id = enter(empty_answers(eight));
    EXPECT_EQ(GetFolderInfo(id, list), -6);
    EXPECT_EQ(obex_requests().back(), "ABORT -> a0");
}

TEST_F(Listing, RefusedContinuationFailsTheListingAndAddsNothing)
{
    const int id = enter(with_rules({"refuse:get#3"}));
    EXPECT_EQ(GetFolderInfo(id, list), -6);
    EXPECT_EQ(list.size(), 0u);
}

TEST_F(Listing, ListingBeyondTheBoundIsAbandonedWithAnAbort)
{
    const int id = enter({});
    EXPECT_EQ(GetFolderInfo(id, list, 120), -6);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(obex_requests().back(), "ABORT -> a0");
    EXPECT_EQ(GetFolderInfo(id, list), 0) << "the handset took the abort";
    EXPECT_EQ(list.size(), 3u);
}

TEST_F(Listing, HandsetThatOnlyEverContinuesIsAbandoned)
{
    const int id = enter(with_rules({"refuse:get=90"}));
    EXPECT_EQ(GetFolderInfo(id, list), -6);
    EXPECT_EQ(list.size(), 0u);
    const Lines requests = obex_requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET final -> 90"), kListingStallLimit);
    EXPECT_EQ(requests.back(), "ABORT -> a0");
    EXPECT_NE(program_log_text().find("Get folder info listing stalled at 0 bytes!!!\n"), std::string::npos);
}

TEST_F(Session, UnknownIdsAndTheEngineAcrossReopens)
{
    start();
    std::uint8_t code = 0;
    const ObexHeaderSet none;
    EXPECT_EQ(IrObexPutReq(5, &none, code), nullptr);
    EXPECT_EQ(code, kObexNoSession);
    EXPECT_EQ(IrObexCloseReq(5), -1);
    for (int round = 0; round < 3; ++round) {
        const int id = connect(8183);
        EXPECT_EQ(id, 0) << "a closed session frees its slot";
        ObexClose(id);
    }
    EXPECT_EQ(obex_requests().size(), 6u);
}

}  // namespace
