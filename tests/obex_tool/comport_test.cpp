// The port layer and the mode switch over a real pseudo-terminal.
#include "ComportDevice.h"
#include "LinkFixture.h"
#include "ModeSwitch.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace zarnik;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// The far end of a bare line: the test reads and writes the master side itself.
class RawPeer {
public:
    RawPeer()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_path_ = ptsname(master_);
        held_slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~RawPeer()
    {
        close(held_slave_);
        close(master_);
    }
    const std::string& slave_path() const { return slave_path_; }
    void write_bytes(const Bytes& bytes)
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Bytes read_bytes(std::size_t count)
    {
        Bytes got;
        while (got.size() < count) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 2000) <= 0) {
                break;
            }
            std::uint8_t buffer[4096];
            const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

private:
    int master_ = -1;
    int held_slave_ = -1;
    std::string slave_path_;
};

// The settings of the terminal at path, as the next program to open it finds them.
termios line_settings(const std::string& path)
{
    termios tio{};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    return tio;
}

// What differs between two sets of terminal settings, empty when nothing does.
std::string line_differences(const termios& expected, const termios& actual)
{
    std::string out;
    auto compare = [&out](const char* what, unsigned long e, unsigned long a) {
        if (e != a) {
            out += std::string(what) + " " + std::to_string(a) + " instead of " + std::to_string(e) + "; ";
        }
    };
    compare("c_iflag", expected.c_iflag, actual.c_iflag);
    compare("c_oflag", expected.c_oflag, actual.c_oflag);
    compare("c_cflag", expected.c_cflag, actual.c_cflag);
    compare("c_lflag", expected.c_lflag, actual.c_lflag);
    compare("input speed", cfgetispeed(&expected), cfgetispeed(&actual));
    compare("output speed", cfgetospeed(&expected), cfgetospeed(&actual));
    compare("VMIN", expected.c_cc[VMIN], actual.c_cc[VMIN]);
    compare("VTIME", expected.c_cc[VTIME], actual.c_cc[VTIME]);
    return out;
}

// The exclusive flag of the terminal at path (1: the next open fails with EBUSY).
int exclusive_flag(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    close(fd);
    return exclusive;
}

class PortLayer : public ::testing::Test {
protected:
    void SetUp() override { SetComportDevice(peer_.slave_path()); }
    void TearDown() override
    {
        ComportClose();
        comport_timing() = ComportTiming{};
    }
    Bytes receive_all(std::size_t count)
    {
        Bytes got;
        std::uint8_t buffer[kComRxBufferSize];
        while (got.size() < count) {
            const int n = ObexRecv(buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    std::string port_log() const { return read_text(scratch_.path() / "ObexCom.log"); }

    ScratchDirectory scratch_;
    RawPeer peer_;
};

TEST_F(PortLayer, LineIsRawAndBinaryCleanBothWays)
{
    ASSERT_EQ(ComportOpen(115200), 0);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(ObexSend(all.data(), all.size()), 256);
    EXPECT_EQ(peer_.read_bytes(256), all);
    peer_.write_bytes(all);
    EXPECT_EQ(receive_all(256), all);

    const int fd = open(peer_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << "modem lines ignored";
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
}

TEST_F(PortLayer, ReplyLargerThanOldBufferArrivesWholeAndBeyondCapacityWaits)
{
    ASSERT_EQ(ComportOpen(115200), 0);
    Bytes packet(8192);
    for (std::size_t i = 0; i < packet.size(); ++i) {
        packet[i] = static_cast<std::uint8_t>(i * 7);
    }
    peer_.write_bytes(packet);
    EXPECT_EQ(receive_all(packet.size()), packet);

    peer_.write_bytes(Bytes(300, 0x5A));
    std::uint8_t small[100];
    EXPECT_EQ(ObexRecv(small, sizeof small), 100);
    EXPECT_EQ(receive_all(200), Bytes(200, 0x5A)) << "what did not fit comes with the next call";
}

TEST_F(PortLayer, BurstsSeparatedByAPauseComeInTwoCalls)
{
    ASSERT_EQ(ComportOpen(115200), 0);
    std::thread sender([this] {
        peer_.write_bytes({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        peer_.write_bytes({4, 5});
    });
    std::uint8_t buffer[64];
    EXPECT_EQ(ObexRecv(buffer, sizeof buffer), 3);
    EXPECT_EQ(ObexRecv(buffer, sizeof buffer), 2);
    EXPECT_EQ(buffer[1], 5);
    sender.join();
}

TEST_F(PortLayer, PauseJustAfterTheFirstBytesDoesNotSplitTheReply)
{
    // Scaled up so that the machine's load cannot decide: a settle of 80 ms, a gap of 3 ms.
    comport_timing().settle = std::chrono::milliseconds(80);
    ASSERT_EQ(ComportOpen(115200), 0);
    std::uint8_t buffer[64];
    std::thread sender([this] {
        peer_.write_bytes({1});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer_.write_bytes({2, 3});
    });
    EXPECT_EQ(ObexRecv(buffer, sizeof buffer), 3);
    sender.join();
}

TEST_F(PortLayer, NoReplyGivesZeroAfterTheWait)
{
    comport_timing().first_byte_wait = std::chrono::milliseconds(200);
    ASSERT_EQ(ComportOpen(115200), 0);
    std::uint8_t buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(ObexRecv(buffer, sizeof buffer), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(PortLayer, SendingOpensThePortAndEveryByteIsLogged)
{
    const std::uint8_t hello[] = {0x01, 0xAB};
    ASSERT_EQ(ObexSend(hello, sizeof hello), 2) << "the port opens itself";
    EXPECT_EQ(peer_.read_bytes(2), (Bytes{0x01, 0xAB}));
    peer_.write_bytes({0x7F});
    std::uint8_t buffer[8];
    ASSERT_EQ(ObexRecv(buffer, sizeof buffer), 1);
    ASSERT_EQ(ComportClose(), 0);
    EXPECT_EQ(ComportClose(), 0) << "a second close does nothing";
    const std::string log = port_log();
    EXPECT_NE(log.find("SetComport " + peer_.slave_path() + "\n"), std::string::npos);
    EXPECT_NE(log.find("ObexSend  dataLen:2  data: 1 ab \nObexSend  OK \n"), std::string::npos);
    EXPECT_NE(log.find("On enter copy data!! size:1\nOn exit copy data!! size:1 data_size:1\n"), std::string::npos);
    EXPECT_NE(log.find("ObexRecv enter section \nObexRecv exit section data_size:0 size:1 Data:7f \n"),
              std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 13), "ComportClose\n");

    ASSERT_EQ(ComportOpen(115200), 0);
    ObexSend(hello, 1);
    ComportClose();
    EXPECT_EQ(port_log().find("SetComport"), std::string::npos) << "a re-open starts the log afresh";
}

TEST_F(PortLayer, PortNumberNamesADeviceThroughTheEnvironment)
{
    setenv("COM7", peer_.slave_path().c_str(), 1);
    SetComport(7);
    EXPECT_EQ(ComportName(), "COM7");
    EXPECT_EQ(ComportOpen(115200), 0);
    ComportClose();
    unsetenv("COM7");
    SetComport(250);
    EXPECT_EQ(ComportOpen(115200), -1) << "/dev/ttyS249 does not exist";
    EXPECT_EQ(ComportClose(), 0);
}

TEST_F(PortLayer, ReopensWhileAnotherProcessHoldsTheDeviceAndClosesWithoutHanging)
{
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(ComportOpen(115200), 0) << "round " << round;
        if (round % 2 == 0) {
            peer_.write_bytes({static_cast<std::uint8_t>(round)});
        }
        ComportClose();
    }
    if (geteuid() != 0) {
        ASSERT_EQ(ComportOpen(115200), 0);
        EXPECT_LT(open(peer_.slave_path().c_str(), O_RDWR | O_NOCTTY), 0) << "opened exclusively";
    }
}

TEST_F(PortLayer, ClosingThePortGivesTheTerminalBackAsItWasFound)
{
    const termios found = line_settings(peer_.slave_path());
    ASSERT_NE(found.c_lflag & ICANON, 0u) << "a fresh pseudo-terminal is line-buffered";
    ASSERT_EQ(ComportOpen(115200), 0);
    EXPECT_EQ(line_settings(peer_.slave_path()).c_lflag & ICANON, 0u) << "raw while open";
    ComportClose();
    EXPECT_EQ(line_differences(found, line_settings(peer_.slave_path())), "");
    EXPECT_EQ(exclusive_flag(peer_.slave_path()), 0);
}

// SetComport opens the port log; a close without an open must still let the next session's log
// start afresh where that session runs (the old file went on being written, in another folder).
TEST_F(PortLayer, ClosingAPortNeverOpenedEndsItsLog)
{
    EXPECT_EQ(ComportClose(), 0);
    ScratchDirectory next;
    SetComportDevice(peer_.slave_path());
    ASSERT_EQ(ComportOpen(115200), 0);
    ComportClose();
    EXPECT_NE(read_text(next.path() / "ObexCom.log").find("SetComport " + peer_.slave_path()), std::string::npos);
    EXPECT_EQ(port_log().find("ComportClose"), std::string::npos) << "the first session's log went on";
}

TEST_F(PortLayer, ProcessEndingWithThePortOpenLeavesTheDeviceFree)
{
    // Every failure of a run ends the process with the port still open: by returning from main,
    // or (the device went away) through serial_end_process.
    const termios found = line_settings(peer_.slave_path());
    EXPECT_EXIT(
        {
            SetComportDevice(peer_.slave_path());
            ComportOpen(115200);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(line_differences(found, line_settings(peer_.slave_path())), "") << "after exit";
    EXPECT_EQ(exclusive_flag(peer_.slave_path()), 0) << "the next open would fail with EBUSY";

    EXPECT_EXIT(
        {
            SetComportDevice(peer_.slave_path());
            ComportOpen(115200);
            serial_end_process(1);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(line_differences(found, line_settings(peer_.slave_path())), "") << "after serial_end_process";
    EXPECT_EQ(exclusive_flag(peer_.slave_path()), 0);
}

class ModeSwitch : public HandsetLink {};

TEST_F(ModeSwitch, ThreeCommandsEachFollowedByItsReply)
{
    start();
    EXPECT_EQ(SwitchToObexMode(), 0);
    EXPECT_EQ(all_requests(),
              (std::vector<std::string>{"AT AT+CGMM -> OK", "AT AT^SQWE=0 -> OK", "AT AT^SQWE=3 -> OK"}));
    ComportClose();
    const std::string log = port_log();
    std::size_t at = 0;
    for (const int length : {9, 11, 11}) {
        at = log.find("ObexSend  dataLen:" + std::to_string(length) + " ", at);
        ASSERT_NE(at, std::string::npos) << length;
        at = log.find("ObexRecv exit section", at);
        ASSERT_NE(at, std::string::npos) << "a receive follows the send of " << length;
    }
}

TEST_F(ModeSwitch, ErrorReplyStillCountsAsAnswer)
{
    handset_sim::Config config;
    handset_sim::parse_rule("refuse:at#2", config.rules.emplace_back());
    start(config);
    EXPECT_EQ(SwitchToObexMode(), 0);
    EXPECT_EQ(all_requests()[1], "AT AT^SQWE=0 -> ERROR");
}

TEST_F(ModeSwitch, SilenceAfterTheFirstCommandFailsAfterAboutThreeSeconds)
{
    handset_sim::Config config;
    handset_sim::parse_rule("silent:at", config.rules.emplace_back());
    start(config);
    const auto begin = Clock::now();
    EXPECT_EQ(SwitchToObexMode(), -1);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::milliseconds(4500));
    EXPECT_EQ(all_requests(), std::vector<std::string>{"AT AT+CGMM -> (no answer)"}) << "one command sent";
}

}  // namespace
