// The handset's own reading and writing of OBEX packets, written apart from the client's codec.
// Headers are read by the two top bits of their identifier, as the standard lays them out:
// 00 text (UTF-16BE with a length), 01 bytes (with a length), 10 one byte, 11 four bytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace handset_sim {

using Bytes = std::vector<std::uint8_t>;

struct SimHeader {
    std::uint8_t id = 0;
    Bytes value;               // text and byte headers: the value; one-byte: 1 byte; four-byte: 4 bytes
    std::uint32_t number = 0;  // one-byte and four-byte headers
};

struct SimRequest {
    std::uint8_t opcode = 0;
    bool final = false;
    Bytes prefix;  // CONNECT: version, flags, max length; SETPATH: flags, constants
    std::vector<SimHeader> headers;
    bool malformed = false;

    const SimHeader* find(std::uint8_t id) const;
    // The Name header as UTF-8, without its terminator; nullopt when absent.
    std::optional<std::string> name() const;
};

SimRequest parse_request(const Bytes& packet);

// A response: code, length, optional prefix, headers.
class SimResponse {
public:
    explicit SimResponse(std::uint8_t code) : code_(code) {}
    SimResponse& prefix(const Bytes& bytes);
    SimResponse& bytes_header(std::uint8_t id, const Bytes& value);
    SimResponse& u32_header(std::uint8_t id, std::uint32_t value);
    Bytes build() const;
    std::uint8_t code() const { return code_; }

private:
    std::uint8_t code_;
    Bytes body_;
};

std::string hex(const Bytes& bytes, std::size_t from = 0, std::size_t count = SIZE_MAX, const char* gap = " ");
std::string utf16be_to_utf8(const std::uint8_t* bytes, std::size_t count);

}  // namespace handset_sim
