// The serial-API check cases that tests/wine_kernel/wine-quenta-serial.sh runs through Wine's
// kernel32 against the real Quenta.sys, here through our kernel32 layer against Quenta on the
// emulated kernel in threaded mode (real time, as under Wine), with the simulated handset on the
// far end of the handset's cable. Same cases, same groups and faults as the Wine run; where the two
// kernel32s differ the case itself states both (serial_api_cases.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "HandsetSim.h"
#include "kernel32_controls.h"
#include "serial_api_cases.h"
#include "usb_machine.h"

namespace usbpath {
namespace {

class SerialApiCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/serial-api-check.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        handset_sim::Config config;
        config.root = scratch_ / "handset";
        std::filesystem::create_directories(config.root);
        sim_ = std::make_unique<handset_sim::HandsetSim>(config);
        std::string error;
        ASSERT_TRUE(sim_->start(error)) << error;
        ASSERT_TRUE(machine_.PlugHandset(7, sim_->slave_path()));
        k32::EnableTrace(true);
        k32::TakeTrace();
    }

    void TearDown() override
    {
        k32::CloseEveryHandle();
        k32::EnableTrace(false);
        k32::TakeTrace();
        for (const std::string& problem : machine_.ShutDown()) {
            ADD_FAILURE() << problem;
        }
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    // Each case on a port opened anew; every failure of a case is one test failure.
    void Run(const std::vector<std::string>& names)
    {
        const serialcheck::Side side{
            serialcheck::Kernel32::Ours, "\\\\.\\COM7", [](std::vector<std::string>&) {
                // The layer's trace lines of requests sent ("IRP_MJ_READ 10"),
                // not their completions ("IRP_MJ_READ done ...").
                std::vector<std::string> sequence;
                for (const std::string& line : k32::TakeTrace()) {
                    const bool request = line.rfind("IRP_MJ_", 0) == 0 || line.rfind("IOCTL_", 0) == 0;
                    if (request && line.find(" done ") == std::string::npos) {
                        sequence.push_back(serialcheck::short_request_name(line.substr(0, line.find(' '))));
                    }
                }
                return sequence;
            }};
        for (const std::string& name : names) {
            const serialcheck::Outcome outcome = serialcheck::run_case(side, name);
            for (const std::string& failure : outcome.failures) {
                ADD_FAILURE() << name << ": " << failure;
            }
            std::printf("%s requests: %s\n", name.c_str(), serialcheck::describe(outcome.requests).c_str());
        }
    }

    std::filesystem::path scratch_;
    std::unique_ptr<handset_sim::HandsetSim> sim_;
    UsbMachine machine_;
};

TEST_F(SerialApiCheck, CasesOnOneHandset)
{
    Run({"comm_state", "comm_state_order", "dcb_round_trip", "timeouts", "read_timeouts", "overlapped_read_timeout",
         "wait_mask_change", "purge", "clear_comm_error"});
}

// As the test bus's "fault fail in 0": the first bulk-IN transfer fails as from a device that
// stopped answering.
TEST_F(SerialApiCheck, DeviceErrorLatchAfterAFailedReceive)
{
    machine_.cable()->FailNextTransfer(true, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
    Run({"device_error_latch"});
}

// As the test bus's "fault stall out 0": the first bulk-OUT transfer stalls.
TEST_F(SerialApiCheck, StalledWrite)
{
    machine_.cable()->FailNextTransfer(false, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    Run({"stalled_write"});
}

TEST(SerialApiCheckRequests, ComparesCountsExactlyOrAsALowerBound)
{
    const serialcheck::RequestCounts seen{{"CREATE", 1}, {"GET_COMMSTATUS", 3}, {"CLOSE", 1}};
    EXPECT_TRUE(serialcheck::compare_requests(seen, "CREATE 1, GET_COMMSTATUS 2+, CLOSE 1").empty());
    EXPECT_EQ(serialcheck::compare_requests(seen, "CREATE 1, GET_COMMSTATUS 4+, CLOSE 1"),
              std::vector<std::string>{"GET_COMMSTATUS 3 times, expected 4+"});
    EXPECT_EQ(serialcheck::compare_requests(seen, "CREATE 1, GET_COMMSTATUS 3, CLOSE 1, CLEANUP 1"),
              std::vector<std::string>{"CLEANUP 0 times, expected 1"});
    EXPECT_EQ(serialcheck::compare_requests(seen, "CREATE 1, CLOSE 1"),
              std::vector<std::string>{"GET_COMMSTATUS 3 times, expected none"});
    EXPECT_TRUE(serialcheck::compare_requests(seen, "CREATE 1, GET_COMMSTATUS 1, CLOSE 1, GET_COMMSTATUS 2").empty())
        << "a request named twice: the counts add up";
    EXPECT_EQ(serialcheck::compare_requests(seen, "CREATE 1, GET_COMMSTATUS 1+, CLOSE 1, GET_COMMSTATUS 3").size(), 1u);
    EXPECT_EQ(serialcheck::compare_requests(seen, "CREATE 1, nonsense, CLOSE x, GET_COMMSTATUS 1+2").size(), 5u)
        << "three items that say nothing, and the two requests they did not name";
    EXPECT_EQ(serialcheck::short_request_name("IOCTL_SERIAL_WAIT_ON_MASK"), "WAIT_ON_MASK");
    EXPECT_EQ(serialcheck::short_request_name("IRP_MJ_CLEANUP"), "CLEANUP");
}

}  // namespace
}  // namespace usbpath
