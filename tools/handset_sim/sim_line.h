// The handset's end of the line: the pseudo-terminal pair, writes paced at the line rate and cut
// into bursts, received bytes taken in at the rate they would arrive, and a hang-up.
#pragma once

#include "HandsetSim.h"
#include "SimPacket.h"

#include <atomic>
#include <chrono>
#include <string>

namespace handset_sim {

class SimLine {
public:
    explicit SimLine(const Config& config) : baud_(config.baud), burst_(config.burst), gap_(config.gap) {}
    ~SimLine() { close(); }
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Opens the pair (the slave raw, kept open here) and the wake-up pipe. False with a reason.
    bool open(std::string& error);
    void close();
    const std::string& slave_path() const { return slave_path_; }
    // Makes the slave the controlling terminal of this process's own new session.
    bool own_terminal();

    enum class Receive { Bytes, Nothing, Stopped };
    // Waits for bytes from the client and appends them to inbox; Stopped after wake().
    Receive receive(Bytes& inbox);
    // With pacing, sleeps until the bytes received so far have arrived at the line rate.
    void wait_arrival() const;
    // Sends bytes at the line rate; in bursts of the configured size and gap when asked.
    void send(const Bytes& bytes, bool in_bursts);
    // Closes both ends: the client sees the device go away.
    void hang_up();
    bool hung_up() const { return hung_up_.load(); }
    // Ends a receive() waiting on another thread, and every later one.
    void wake();

private:
    using Clock = std::chrono::steady_clock;

    Clock::duration byte_time(std::size_t n) const;
    bool write_all(const std::uint8_t* bytes, std::size_t count);
    void send_piece(const std::uint8_t* bytes, std::size_t count);

    const int baud_;  // 10 bits a byte; 0: no pacing
    const std::size_t burst_;
    const std::chrono::milliseconds gap_;
    int master_ = -1;
    int slave_ = -1;
    int stop_read_ = -1;
    int stop_write_ = -1;
    std::string slave_path_;
    std::atomic<bool> hung_up_{false};
    Clock::time_point rx_free_{};
    Clock::time_point tx_next_{};
};

}  // namespace handset_sim
