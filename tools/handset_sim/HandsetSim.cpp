#include "HandsetSim.h"

#include "SimPacket.h"
#include "SimStore.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace handset_sim {

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kService = {0x6B, 0x01, 0xCB, 0x31, 0x41, 0x06, 0x11, 0xD4, 0x9A, 0x77, 0x00, 0x50, 0xDA, 0x3F, 0x47, 0x1F};
const std::string kListingType = "x-obex/folder-listing";

std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return text;
}

std::string summarize(const std::string& kind, const SimRequest& req)
{
    std::string s = upper(kind);
    char field[64];
    if ((kind == "put" || kind == "get") && req.final) {
        s += " final";
    }
    if (kind == "connect" && req.prefix.size() == 4) {
        std::snprintf(field, sizeof field, " version=%02x flags=%02x max=%d", req.prefix[0], req.prefix[1],
                      (req.prefix[2] << 8) | req.prefix[3]);
        s += field;
    }
    if (kind == "setpath" && req.prefix.size() == 2) {
        std::snprintf(field, sizeof field, " flags=%02x", req.prefix[0]);
        s += field;
    }
    for (const SimHeader& h : req.headers) {
        switch (h.id) {
            case 0x01:
                s += " name=" + *req.name();
                break;
            case 0x42:
                s += " type=" + std::string(std::string(h.value.begin(), h.value.end()).c_str());
                break;
            case 0xC3:
                s += " length=" + std::to_string(h.number);
                break;
            case 0x48:
                s += " body=" + std::to_string(h.value.size());
                break;
            case 0x49:
                s += " eob=" + std::to_string(h.value.size());
                break;
            case 0xCF:
                std::snprintf(field, sizeof field, " creator=%08x", h.number);
                s += field;
                break;
            case 0x46:
                s += " target=" + hex(h.value, 0, SIZE_MAX, "");
                break;
            case 0xCB:
                s += " connid=" + std::to_string(h.number);
                break;
            default:
                std::snprintf(field, sizeof field, " h%02x=", h.id);
                s += field + hex(h.value, 0, SIZE_MAX, "");
        }
    }
    return s;
}

struct PutObject {
    std::string name;
    Bytes data;
};

}  // namespace

struct HandsetSim::State {
    explicit State(Config c) : config(std::move(c)), store(config.root) {}

    Config config;
    SimStore store;
    int master = -1;
    int slave = -1;
    int stop_read = -1;
    int stop_write = -1;
    std::string slave_path;
    std::thread thread;
    std::atomic<bool> hung_up{false};

    mutable std::mutex mutex;
    std::vector<Record> records;
    std::function<void(const Record&)> sink;

    // Serving-thread state.
    std::map<std::string, int> counts;
    bool obex_mode = false;
    bool silent = false;
    Bytes inbox;
    Clock::time_point rx_free{};
    Clock::time_point tx_next{};
    bool connected = false;
    int client_max = 255;
    std::optional<PutObject> object;
    std::optional<std::string> listing_left;

    Clock::duration byte_time(std::size_t n) const
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 * n / config.baud));
    }

    void record(const std::string& kind, const std::string& summary, const Bytes& request, const Bytes& response)
    {
        Record r{kind, summary, request, response};
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

    const Rule* rule_for(const std::string& kind, int nth) const
    {
        for (const Rule& rule : config.rules) {
            if (rule.kind == kind && (rule.nth == 0 || rule.nth == nth)) {
                return &rule;
            }
        }
        return nullptr;
    }

    bool write_all(const std::uint8_t* bytes, std::size_t count)
    {
        while (count != 0) {
            const ssize_t n = ::write(master, bytes, count);
            if (n > 0) {
                bytes += n;
                count -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            pollfd fds[2] = {{master, POLLOUT, 0}, {stop_read, POLLIN, 0}};
            if (poll(fds, 2, 1000) > 0 && fds[1].revents != 0) {
                return false;
            }
        }
        return true;
    }

    void send_piece(const std::uint8_t* bytes, std::size_t count)
    {
        if (config.baud <= 0) {
            write_all(bytes, count);
            return;
        }
        constexpr std::size_t slice = 8;
        tx_next = std::max(tx_next, Clock::now());
        for (std::size_t at = 0; at < count; at += slice) {
            const std::size_t n = std::min(slice, count - at);
            std::this_thread::sleep_until(tx_next);
            write_all(bytes + at, n);
            tx_next += byte_time(n);
        }
    }

    void send(const Bytes& bytes)
    {
        // Bursts split OBEX answers only; an AT reply is taken whole before its first pause.
        const std::size_t piece = config.burst == 0 || !obex_mode ? bytes.size() : config.burst;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            if (at != 0) {
                std::this_thread::sleep_for(config.gap);
            }
            send_piece(bytes.data() + at, std::min(piece, bytes.size() - at));
        }
    }

    void hang_up()
    {
        close(master);
        close(slave);
        master = slave = -1;
        hung_up.store(true);
    }

    // --- AT command mode
    bool handle_at_line()
    {
        const auto end =
            std::find_if(inbox.begin(), inbox.end(), [](std::uint8_t b) { return b == '\r' || b == '\n'; });
        if (end == inbox.end()) {
            return false;
        }
        const std::string line(inbox.begin(), end);
        inbox.erase(inbox.begin(), end + 1);
        if (line.empty()) {
            return true;
        }
        const Bytes request(line.begin(), line.end());
        const int nth = ++counts["at"];
        const Rule* rule = silent ? nullptr : rule_for("at", nth);
        if (silent || (rule != nullptr && rule->action != Rule::Action::Refuse)) {
            if (rule != nullptr && rule->action == Rule::Action::Silent) {
                silent = true;
            }
            record("at", "AT " + line + " -> (no answer)", request, {});
            if (rule != nullptr && rule->action == Rule::Action::Hangup) {
                hang_up();
            }
            return true;
        }
        const bool refused = rule != nullptr;
        std::string reply = refused             ? "\r\nERROR\r\n"
                            : line == "AT+CGMM" ? "\r\nSIM-HANDSET\r\n\r\nOK\r\n"
                                                : "\r\nOK\r\n";
        const Bytes response(reply.begin(), reply.end());
        send(response);
        record("at", "AT " + line + (refused ? " -> ERROR" : " -> OK"), request, response);
        if (!refused && line == "AT^SQWE=3") {
            obex_mode = true;
        }
        return true;
    }

    // --- OBEX mode
    std::string classify(const SimRequest& req) const
    {
        switch (req.opcode) {
            case 0x80:
                return "connect";
            case 0x81:
                return "disconnect";
            case 0x85:
                return "setpath";
            case 0xFF:
                return "abort";
            case 0x03:
            case 0x83:
                return "get";
            case 0x02:
            case 0x82:
                if (!object && req.final && req.find(0x48) == nullptr && req.find(0x49) == nullptr) {
                    return "delete";
                }
                return "put";
            default:
                return "unexpected";
        }
    }

    Bytes next_listing_piece()
    {
        std::size_t room = static_cast<std::size_t>(std::min(client_max, config.max_packet)) - 6;
        if (config.listing_chunk != 0) {
            room = std::min(room, config.listing_chunk);
        }
        std::string& left = *listing_left;
        const std::string piece = left.substr(0, room);
        left.erase(0, piece.size());
        const Bytes value(piece.begin(), piece.end());
        if (left.empty()) {
            listing_left.reset();
            return SimResponse(0xA0).bytes_header(0x49, value).build();
        }
        return SimResponse(0x90).bytes_header(0x48, value).build();
    }

    Bytes apply(const std::string& kind, const SimRequest& req, std::size_t packet_size)
    {
        if (req.malformed || (kind != "connect" && packet_size > static_cast<std::size_t>(config.max_packet))) {
            return SimResponse(0xC0).build();
        }
        if (kind == "connect") {
            const SimHeader* target = req.find(0x46);
            if (target == nullptr || target->value != kService || req.prefix.size() != 4) {
                return SimResponse(0xD3).build();
            }
            connected = true;
            store.to_root();
            object.reset();
            listing_left.reset();
            client_max = (req.prefix[2] << 8) | req.prefix[3];
            const int max = config.max_packet;
            return SimResponse(0xA0)
                .prefix({0x10, 0x00, static_cast<std::uint8_t>(max >> 8), static_cast<std::uint8_t>(max)})
                .bytes_header(0x4A, kService)
                .u32_header(0xCB, 1)
                .build();
        }
        if (kind == "disconnect") {
            connected = false;
            object.reset();
            listing_left.reset();
            return SimResponse(0xA0).build();
        }
        if (kind == "abort") {
            object.reset();
            listing_left.reset();
            return SimResponse(0xA0).build();
        }
        if (!connected) {
            return SimResponse(0xC0).build();
        }
        if (kind == "setpath") {
            const std::uint8_t flags = req.prefix.at(0);
            const std::optional<std::string> name = req.name();
            bool ok = true;
            if ((flags & 0x01) != 0) {
                ok = store.to_parent();
            } else if (!name || name->empty()) {
                store.to_root();
            } else {
                ok = store.to_child(*name, (flags & 0x02) == 0);
            }
            return SimResponse(ok ? 0xA0 : 0xC4).build();
        }
        if (kind == "get") {
            const SimHeader* type = req.find(0x42);
            if (type != nullptr) {
                const std::string text(type->value.begin(), type->value.end());
                if (text.c_str() != kListingType) {
                    return SimResponse(0xC4).build();
                }
                listing_left = store.listing(config.listing_style);
            } else if (!listing_left) {
                return SimResponse(0xC0).build();
            }
            return next_listing_piece();
        }
        if (kind == "delete") {
            const std::optional<std::string> name = req.name();
            if (!name || !SimStore::acceptable(*name)) {
                return SimResponse(0xC0).build();
            }
            return SimResponse(store.remove(*name) ? 0xA0 : 0xC4).build();
        }
        // put
        if (!object) {
            const std::optional<std::string> name = req.name();
            if (!name || !SimStore::acceptable(*name)) {
                return SimResponse(0xC0).build();
            }
            object = PutObject{*name, {}};
        }
        for (const SimHeader& h : req.headers) {
            if (h.id == 0x48 || h.id == 0x49) {
                object->data.insert(object->data.end(), h.value.begin(), h.value.end());
            }
        }
        if (!req.final) {
            return SimResponse(0x90).build();
        }
        const bool stored = store.store(object->name, object->data);
        object.reset();
        return SimResponse(stored ? 0xA0 : 0xC0).build();
    }

    bool handle_packet()
    {
        // The line end of the last AT command may trail into OBEX mode; it is no opcode.
        while (!inbox.empty() && (inbox[0] == '\r' || inbox[0] == '\n')) {
            inbox.erase(inbox.begin());
        }
        if (!inbox.empty() && inbox[0] == 'A') {
            obex_mode = false;  // the client starts over with AT commands
            connected = false;
            return true;
        }
        if (inbox.size() < 3) {
            return false;
        }
        const std::size_t length = (inbox[1] << 8) | inbox[2];
        if (length < 3) {
            record("unexpected", "UNEXPECTED " + hex(inbox), inbox, {});
            inbox.clear();
            return false;
        }
        if (inbox.size() < length) {
            return false;
        }
        const Bytes packet(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(length));
        inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(length));
        const SimRequest req = parse_request(packet);
        const std::string kind = classify(req);
        const int nth = ++counts[kind];
        if (kind == "unexpected") {
            record(kind, "UNEXPECTED " + hex(packet), packet, {});
            return true;
        }
        const std::string summary = summarize(kind, req);
        const Rule* rule = silent ? nullptr : rule_for(kind, nth);
        if (silent) {
            record(kind, summary + " -> (no answer)", packet, {});
            return true;
        }
        if (rule != nullptr) {
            switch (rule->action) {
                case Rule::Action::Refuse: {
                    const Bytes response = SimResponse(rule->code).build();
                    send(response);
                    char code[8];
                    std::snprintf(code, sizeof code, "%02x", rule->code);
                    record(kind, summary + " -> " + code, packet, response);
                    return true;
                }
                case Rule::Action::Ignore:
                case Rule::Action::Silent:
                case Rule::Action::Hangup:
                    silent = silent || rule->action == Rule::Action::Silent;
                    record(kind, summary + " -> (no answer)", packet, {});
                    if (rule->action == Rule::Action::Hangup) {
                        hang_up();
                    }
                    return true;
                default:
                    break;
            }
        }
        Bytes response = apply(kind, req, packet.size());
        char code[8];
        std::snprintf(code, sizeof code, "%02x", response[0]);
        if (rule != nullptr && rule->action == Rule::Action::Cut) {
            response.resize(std::min(rule->cut, response.size()));
        }
        if (rule != nullptr && rule->action == Rule::Action::Glue) {
            response.insert(response.end(), rule->glue.begin(), rule->glue.end());
        }
        if (rule != nullptr && rule->action == Rule::Action::Lead) {
            response.insert(response.begin(), rule->glue.begin(), rule->glue.end());
        }
        send(response);
        record(kind, summary + " -> " + code, packet, response);
        if (kind == "disconnect") {
            obex_mode = false;
        }
        return true;
    }

    void serve()
    {
        std::uint8_t buffer[4096];
        while (!hung_up.load()) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stop_read, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (config.baud > 0) {
                // The bytes reach the handset at the line rate, after those before them.
                rx_free = std::max(rx_free, Clock::now()) + byte_time(static_cast<std::size_t>(n));
            }
            inbox.insert(inbox.end(), buffer, buffer + n);
            for (;;) {
                if (config.baud > 0) {
                    std::this_thread::sleep_until(rx_free);
                }
                const bool progressed = obex_mode ? handle_packet() : handle_at_line();
                if (!progressed || hung_up.load()) {
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
    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    s.slave_path = ptsname(s.master);
    // The simulator keeps the slave open itself, so that the client closing and re-opening the
    // port never makes the master see a hang-up.
    s.slave = open(s.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int stop_pipe[2];
    if (s.slave < 0 || pipe2(stop_pipe, O_CLOEXEC) != 0) {
        error = std::string("cannot open ") + s.slave_path + ": " + std::strerror(errno);
        return false;
    }
    s.stop_read = stop_pipe[0];
    s.stop_write = stop_pipe[1];
    termios tio{};
    tcgetattr(s.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(s.slave, TCSANOW, &tio);
    fcntl(s.master, F_SETFL, fcntl(s.master, F_GETFL) | O_NONBLOCK);
    s.thread = std::thread([&s] { s.serve(); });
    return true;
}

void HandsetSim::stop()
{
    State& s = *state_;
    if (s.thread.joinable()) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = write(s.stop_write, &wake, 1);
        s.thread.join();
    }
    for (int* fd : {&s.master, &s.slave, &s.stop_read, &s.stop_write}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool HandsetSim::own_terminal()
{
    std::signal(SIGHUP, SIG_IGN);
    return setsid() >= 0 && ioctl(state_->slave, TIOCSCTTY, 0) == 0;
}

const std::string& HandsetSim::slave_path() const
{
    return state_->slave_path;
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
    return state_->hung_up.load();
}

bool parse_rule(const std::string& text, Rule& rule)
{
    static const std::map<std::string, Rule::Action> actions = {
        {"refuse", Rule::Action::Refuse}, {"ignore", Rule::Action::Ignore}, {"silent", Rule::Action::Silent},
        {"cut", Rule::Action::Cut},       {"glue", Rule::Action::Glue},     {"hangup", Rule::Action::Hangup},
        {"lead", Rule::Action::Lead}};
    const auto colon = text.find(':');
    if (colon == std::string::npos || actions.count(text.substr(0, colon)) == 0) {
        return false;
    }
    rule = Rule{};
    rule.action = actions.at(text.substr(0, colon));
    std::string rest = text.substr(colon + 1);
    std::string value;
    if (const auto eq = rest.find('='); eq != std::string::npos) {
        value = rest.substr(eq + 1);
        rest.erase(eq);
    }
    if (const auto hash = rest.find('#'); hash != std::string::npos) {
        rule.nth = std::atoi(rest.c_str() + hash + 1);
        rest.erase(hash);
    }
    rule.kind = rest;
    if (rule.kind.empty()) {
        return false;
    }
    if (!value.empty()) {
        switch (rule.action) {
            case Rule::Action::Refuse:
                rule.code = static_cast<std::uint8_t>(std::stoul(value, nullptr, 16));
                break;
            case Rule::Action::Cut:
                rule.cut = std::stoul(value);
                break;
            case Rule::Action::Glue:
            case Rule::Action::Lead:
                for (std::size_t at = 0; at < value.size();) {
                    if (value[at] == ' ') {
                        ++at;
                        continue;
                    }
                    rule.glue.push_back(static_cast<std::uint8_t>(std::stoul(value.substr(at, 2), nullptr, 16)));
                    at += 2;
                }
                break;
            default:
                break;
        }
    }
    return true;
}

}  // namespace handset_sim
