#include "SimPacket.h"

#include <algorithm>
#include <cstdio>

namespace handset_sim {

const SimHeader* SimRequest::find(std::uint8_t id) const
{
    for (const SimHeader& h : headers) {
        if (h.id == id) {
            return &h;
        }
    }
    return nullptr;
}

std::optional<std::string> SimRequest::name() const
{
    const SimHeader* h = find(0x01);
    if (h == nullptr) {
        return std::nullopt;
    }
    std::size_t count = h->value.size();
    while (count >= 2 && h->value[count - 2] == 0 && h->value[count - 1] == 0) {
        count -= 2;
    }
    return utf16be_to_utf8(h->value.data(), count);
}

SimRequest parse_request(const Bytes& packet)
{
    SimRequest request;
    if (packet.size() < 3) {
        request.malformed = true;
        return request;
    }
    request.opcode = packet[0];
    request.final = (packet[0] & 0x80) != 0;
    std::size_t at = 3;
    const std::size_t prefix = packet[0] == 0x80 ? 4 : packet[0] == 0x85 ? 2 : 0;
    if (packet.size() < at + prefix) {
        request.malformed = true;
        return request;
    }
    request.prefix.assign(packet.begin() + 3, packet.begin() + 3 + prefix);
    at += prefix;
    while (at < packet.size()) {
        SimHeader h;
        h.id = packet[at];
        const int form = h.id >> 6;
        std::size_t length = form == 2 ? 2 : form == 3 ? 5 : 0;
        if (form < 2) {
            if (packet.size() - at < 3) {
                request.malformed = true;
                return request;
            }
            length = (packet[at + 1] << 8) | packet[at + 2];
            if (length < 3) {
                request.malformed = true;
                return request;
            }
        }
        if (packet.size() - at < length) {
            request.malformed = true;
            return request;
        }
        const std::size_t value_at = at + (form < 2 ? 3 : 1);
        h.value.assign(packet.begin() + value_at, packet.begin() + at + length);
        for (std::uint8_t b : h.value) {
            if (form >= 2) {
                h.number = (h.number << 8) | b;
            }
        }
        request.headers.push_back(std::move(h));
        at += length;
    }
    return request;
}

SimResponse& SimResponse::prefix(const Bytes& bytes)
{
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

SimResponse& SimResponse::bytes_header(std::uint8_t id, const Bytes& value)
{
    const std::size_t length = value.size() + 3;
    body_.push_back(id);
    body_.push_back(static_cast<std::uint8_t>(length >> 8));
    body_.push_back(static_cast<std::uint8_t>(length));
    body_.insert(body_.end(), value.begin(), value.end());
    return *this;
}

SimResponse& SimResponse::u32_header(std::uint8_t id, std::uint32_t value)
{
    body_.push_back(id);
    for (int shift = 24; shift >= 0; shift -= 8) {
        body_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return *this;
}

Bytes SimResponse::build() const
{
    const std::size_t length = body_.size() + 3;
    Bytes packet(length);
    packet[0] = code_;
    packet[1] = static_cast<std::uint8_t>(length >> 8);
    packet[2] = static_cast<std::uint8_t>(length);
    std::copy(body_.begin(), body_.end(), packet.begin() + 3);
    return packet;
}

std::string hex(const Bytes& bytes, std::size_t from, std::size_t count, const char* gap)
{
    std::string text;
    for (std::size_t i = from; i < bytes.size() && i - from < count; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        if (!text.empty()) {
            text += gap;
        }
        text += digits;
    }
    return text;
}

std::string utf16be_to_utf8(const std::uint8_t* bytes, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        char32_t cp = static_cast<char32_t>((bytes[i] << 8) | bytes[i + 1]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < count) {
            const char32_t low = static_cast<char32_t>((bytes[i + 2] << 8) | bytes[i + 3]);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace handset_sim
