// The simulated handset as a whole: its line, the AT dialog and the OBEX server on one serving
// thread, and the transcript of every request.
#include "HandsetSim.h"

#include "sim_dialog.h"
#include "sim_fault_rules.h"
#include "sim_line.h"
#include "sim_obex_server.h"

#include <mutex>
#include <thread>

namespace handset_sim {

struct HandsetSim::State {
    explicit State(Config c) : config(std::move(c)), line(config), rules(config.rules), server(config) {}

    Config config;
    SimLine line;
    FaultRules rules;
    ObexServer server;
    std::thread thread;

    mutable std::mutex mutex;
    std::vector<Record> records;
    std::function<void(const Record&)> sink;

    void record(const Record& r)
    {
        std::function<void(const Record&)> to_sink;
        {
            const std::lock_guard guard(mutex);
            records.push_back(r);
            to_sink = sink;
        }
        if (to_sink) {
            to_sink(r);
        }
    }

    void serve()
    {
        Dialog dialog{line, rules, [this](const Record& r) { record(r); }};
        Bytes inbox;
        while (!line.hung_up()) {
            const SimLine::Receive received = line.receive(inbox);
            if (received == SimLine::Receive::Stopped) {
                return;
            }
            if (received == SimLine::Receive::Nothing) {
                continue;
            }
            for (;;) {
                line.wait_arrival();
                const bool progressed =
                    dialog.obex_mode ? server.handle_packet(inbox, dialog) : handle_at_line(inbox, dialog);
                if (!progressed || line.hung_up()) {
                    break;
                }
            }
        }
    }
};

HandsetSim::HandsetSim(Config config) : state_(std::make_unique<State>(std::move(config))) {}

HandsetSim::~HandsetSim()
{
    stop();
}

bool HandsetSim::start(std::string& error)
{
    State& s = *state_;
    if (!s.line.open(error)) {
        return false;
    }
    s.thread = std::thread([&s] { s.serve(); });
    return true;
}

void HandsetSim::stop()
{
    State& s = *state_;
    if (s.thread.joinable()) {
        s.line.wake();
        s.thread.join();
    }
    s.line.close();
}

bool HandsetSim::own_terminal()
{
    return state_->line.own_terminal();
}

const std::string& HandsetSim::slave_path() const
{
    return state_->line.slave_path();
}

std::vector<Record> HandsetSim::transcript() const
{
    const std::lock_guard guard(state_->mutex);
    return state_->records;
}

void HandsetSim::on_record(std::function<void(const Record&)> sink)
{
    const std::lock_guard guard(state_->mutex);
    state_->sink = std::move(sink);
}

bool HandsetSim::hung_up() const
{
    return state_->line.hung_up();
}

}  // namespace handset_sim
