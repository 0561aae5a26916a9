// One small file sent over USB, step by step, with the real code on both sides: Zarnik's port
// layer (Win32, over the kernel32 layer) and OBEX client, Quenta on the emulated kernel in threaded
// mode, the handset's cable to the simulated handset's pseudo-terminal. The trace of what crossed
// the layers must show the walk-through in order: the WriteFile, its IRP_MJ_WRITE, bulk-OUT
// transfers of at most 2048 bytes, the write completing; the reply on bulk-IN, EV_RXCHAR to the
// pending wait, the one-byte reads.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "Comport.h"
#include "HandsetSim.h"
#include "LinkFixture.h"
#include "Obexunit.h"
#include "kernel32_controls.h"
#include "usb_machine.h"

namespace usbpath {
namespace {

using Trace = std::vector<std::string>;

// The position of the first line at or after `from` that starts with `prefix`; fails the test
// (and answers the end) when there is none.
size_t Find(const Trace& trace, size_t from, const std::string& prefix)
{
    for (size_t i = from; i < trace.size(); ++i) {
        if (trace[i].rfind(prefix, 0) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << "no \"" << prefix << "\" after line " << from;
    return trace.size();
}

unsigned NumberAfter(const std::string& line, const std::string& prefix)
{
    return unsigned(std::stoul(line.substr(prefix.size())));
}

// From a WriteFile on: its request, the bulk-OUT transfers that carry it (each at most 2048
// bytes, together the whole write) and its completion. Answers the line after the completion.
size_t ExpectWriteCarried(const Trace& trace, size_t from)
{
    const size_t call = Find(trace, from, "WriteFile ");
    if (call == trace.size()) {
        return call;
    }
    const unsigned length = NumberAfter(trace[call], "WriteFile ");
    const size_t request = Find(trace, call, "IRP_MJ_WRITE " + std::to_string(length));
    const std::string doneLine = "IRP_MJ_WRITE done STATUS_SUCCESS " + std::to_string(length);
    const size_t done = Find(trace, request, doneLine);
    unsigned carried = 0;
    for (size_t i = request; i < done && i < trace.size(); ++i) {
        if (trace[i].rfind("bulk-OUT ", 0) == 0) {
            const unsigned size = NumberAfter(trace[i], "bulk-OUT ");
            EXPECT_LE(size, 2048u) << trace[i];
            carried += size;
        }
    }
    EXPECT_EQ(carried, length) << "bulk-OUT bytes between the write's request and its completion";
    return done + 1;
}

class UsbWalkThrough : public HandsetLink {
protected:
    void TearDown() override
    {
        HandsetLink::TearDown();
        k32::CloseEveryHandle();
        k32::EnableTrace(false);
        for (const std::string& problem : machine_.ShutDown()) {
            ADD_FAILURE() << problem;
        }
    }

    UsbMachine machine_;
};

TEST_F(UsbWalkThrough, OneSmallFileCrossesEveryLayerInOrder)
{
    handset_sim::Config config;
    config.root = scratch_.path() / "handset";
    std::filesystem::create_directories(config.root);
    sim_ = std::make_unique<handset_sim::HandsetSim>(config);
    std::string error;
    ASSERT_TRUE(sim_->start(error)) << error;
    ASSERT_TRUE(machine_.PlugHandset(5, sim_->slave_path()));
    zarnik::SetComport(5);
    zarnik::program_log_open();
    k32::EnableTrace(true);
    k32::TakeTrace();

    // The port opens first and the session starts once the listener's event wait is pending, so
    // that the first reply meets it (otherwise the event may be recorded before the wait comes).
    ASSERT_EQ(zarnik::ComportOpen(115200), 0);
    Trace session;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::find(session.begin(), session.end(), "IOCTL_SERIAL_WAIT_ON_MASK 4") == session.end()) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the listener never waited";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (std::string& line : k32::TakeTrace()) {
            session.push_back(std::move(line));
        }
    }
    int chunk = 0;
    const int id = zarnik::InitObex(chunk);
    ASSERT_GE(id, 0);
    for (std::string& line : k32::TakeTrace()) {
        session.push_back(std::move(line));
    }
    const std::string content(5000, 'q');
    std::istringstream file(content);
    ASSERT_EQ(zarnik::SendFile(id, file, "small.txt", chunk), 0);
    const Trace sending = k32::TakeTrace();
    zarnik::ObexClose(id);
    EXPECT_EQ(read_text(config.root / "small.txt"), content);

    // COM5 opens through its link, the listener's wait is pending, the first command goes out,
    // and the first reply ends the wait with EV_RXCHAR and is read byte by byte.
    size_t at = Find(session, 0, "CreateFileA \\\\.\\COM5");
    at = Find(session, at, "IRP_MJ_CREATE");
    at = Find(session, at, "IOCTL_SERIAL_WAIT_ON_MASK 4");
    at = ExpectWriteCarried(session, at);
    at = Find(session, at, "bulk-IN ");
    at = Find(session, at, "IOCTL_SERIAL_WAIT_ON_MASK done STATUS_SUCCESS 4 mask 0x1");
    at = Find(session, at, "ReadFile 1");
    at = Find(session, at, "IRP_MJ_READ 1");
    Find(session, at, "IRP_MJ_READ done STATUS_SUCCESS 1");

    // The file: its last PUT is longer than one transfer. Every write goes out whole in transfers
    // of at most 2048 bytes before it completes, and each reply fills the read that waits for it.
    size_t line = 0;
    unsigned longest = 0;
    unsigned writes = 0;
    while (writes < 2 && Find(sending, line, "WriteFile ") < sending.size()) {
        longest = std::max(longest, NumberAfter(sending[Find(sending, line, "WriteFile ")], "WriteFile "));
        line = ExpectWriteCarried(sending, line);
        const size_t reply = Find(sending, line, "bulk-IN 3");
        EXPECT_EQ(Find(sending, reply, "IRP_MJ_READ done STATUS_SUCCESS 1"), reply + 1);
        line = reply;
        ++writes;
    }
    EXPECT_EQ(writes, 2u);
    EXPECT_GT(longest, 4096u);  // three transfers
    const usbpath::HandsetCable::Counts bulk = machine_.BulkCounts();
    EXPECT_EQ(bulk.largestOut, 2048u);
}

}  // namespace
}  // namespace usbpath
