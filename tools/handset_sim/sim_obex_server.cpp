#include "sim_obex_server.h"

#include <algorithm>
#include <cstdio>

namespace handset_sim {

namespace {

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

std::string code_text(std::uint8_t code)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x", code);
    return text;
}

}  // namespace

bool ObexServer::handle_packet(Bytes& inbox, Dialog& dialog)
{
    // The line end of the last AT command may trail into OBEX mode; it is no opcode.
    while (!inbox.empty() && (inbox[0] == '\r' || inbox[0] == '\n')) {
        inbox.erase(inbox.begin());
    }
    if (!inbox.empty() && inbox[0] == 'A') {
        dialog.obex_mode = false;  // the client starts over with AT commands
        connected_ = false;
        return true;
    }
    if (inbox.size() < 3) {
        return false;
    }
    const std::size_t length = (inbox[1] << 8) | inbox[2];
    if (length < 3) {
        dialog.record(Record{"unexpected", "UNEXPECTED " + hex(inbox), inbox, {}});
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
    if (kind == "unexpected") {
        dialog.record(Record{kind, "UNEXPECTED " + hex(packet), packet, {}});
        return true;
    }
    const Rule* rule = dialog.rules.take(kind);
    const std::string summary = summarize(kind, req);
    if (dialog.rules.silent() || (rule != nullptr && FaultRules::leaves_unanswered(*rule))) {
        dialog.leave_unanswered(kind, summary, packet, rule);
        return true;
    }
    if (rule != nullptr && rule->action == Rule::Action::Refuse) {
        dialog.answer(kind, summary + " -> " + code_text(rule->code), packet, SimResponse(rule->code).build());
        return true;
    }
    Bytes response = apply(kind, req, packet.size());
    const std::string code = code_text(response[0]);
    if (rule != nullptr) {
        FaultRules::shape(*rule, response);
    }
    dialog.answer(kind, summary + " -> " + code, packet, response);
    if (kind == "disconnect") {
        dialog.obex_mode = false;
    }
    return true;
}

std::string ObexServer::classify(const SimRequest& req) const
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
            if (!object_ && req.final && req.find(0x48) == nullptr && req.find(0x49) == nullptr) {
                return "delete";
            }
            return "put";
        default:
            return "unexpected";
    }
}

Bytes ObexServer::next_listing_piece()
{
    std::size_t room = static_cast<std::size_t>(std::min(client_max_, config_.max_packet)) - 6;
    if (config_.listing_chunk != 0) {
        room = std::min(room, config_.listing_chunk);
    }
    std::string& left = *listing_left_;
    const std::string piece = left.substr(0, room);
    left.erase(0, piece.size());
    const Bytes value(piece.begin(), piece.end());
    if (left.empty()) {
        listing_left_.reset();
        return SimResponse(0xA0).bytes_header(0x49, value).build();
    }
    return SimResponse(0x90).bytes_header(0x48, value).build();
}

Bytes ObexServer::apply(const std::string& kind, const SimRequest& req, std::size_t packet_size)
{
    if (req.malformed || (kind != "connect" && packet_size > static_cast<std::size_t>(config_.max_packet))) {
        return SimResponse(0xC0).build();
    }
    if (kind == "connect") {
        const SimHeader* target = req.find(0x46);
        if (target == nullptr || target->value != kService || req.prefix.size() != 4) {
            return SimResponse(0xD3).build();
        }
        connected_ = true;
        store_.to_root();
        object_.reset();
        listing_left_.reset();
        client_max_ = (req.prefix[2] << 8) | req.prefix[3];
        const int max = config_.max_packet;
        return SimResponse(0xA0)
            .prefix({0x10, 0x00, static_cast<std::uint8_t>(max >> 8), static_cast<std::uint8_t>(max)})
            .bytes_header(0x4A, kService)
            .u32_header(0xCB, 1)
            .build();
    }
    if (kind == "disconnect") {
        connected_ = false;
        object_.reset();
        listing_left_.reset();
        return SimResponse(0xA0).build();
    }
    if (kind == "abort") {
        object_.reset();
        listing_left_.reset();
        return SimResponse(0xA0).build();
    }
    if (!connected_) {
        return SimResponse(0xC0).build();
    }
    if (kind == "setpath") {
        const std::uint8_t flags = req.prefix.at(0);
        const std::optional<std::string> name = req.name();
        bool ok = true;
        if ((flags & 0x01) != 0) {
            ok = store_.to_parent();
        } else if (!name || name->empty()) {
            store_.to_root();
        } else {
            ok = store_.to_child(*name, (flags & 0x02) == 0);
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
            listing_left_ = store_.listing(config_.listing_style);
        } else if (!listing_left_) {
            return SimResponse(0xC0).build();
        }
        return next_listing_piece();
    }
    if (kind == "delete") {
        const std::optional<std::string> name = req.name();
        if (!name || !SimStore::acceptable(*name)) {
            return SimResponse(0xC0).build();
        }
        return SimResponse(store_.remove(*name) ? 0xA0 : 0xC4).build();
    }
    // put
    if (!object_) {
        const std::optional<std::string> name = req.name();
        if (!name || !SimStore::acceptable(*name)) {
            return SimResponse(0xC0).build();
        }
        object_ = PutObject{*name, {}};
    }
    for (const SimHeader& h : req.headers) {
        if (h.id == 0x48 || h.id == 0x49) {
            object_->data.insert(object_->data.end(), h.value.begin(), h.value.end());
        }
    }
    if (!req.final) {
        return SimResponse(0x90).build();
    }
    const bool stored = store_.store(object_->name, object_->data);
    object_.reset();
    return SimResponse(stored ? 0xA0 : 0xC0).build();
}

}  // namespace handset_sim
