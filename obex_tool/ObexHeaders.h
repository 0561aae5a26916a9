// OBEX headers: the header set of one request or response, its wire size, the encoder (fixed
// order) and the decoder. All multi-byte numbers on the wire are big-endian.
//
// Header kinds, indexed by the low six bits of their identifier:
//   0 Count 0xC0 (4-byte)            7 header 0x47 (bytes)        14 Authenticate Response 0x4E
//   1 Name 0x01 (UTF-16BE, 0-ended)  8 Body 0x48                  15 Creator ID 0xCF (4-byte)
//   2 Type 0x42                      9 End of Body 0x49           16 WAN UUID 0x50
//   3 Length 0xC3 (4-byte)          10 Who 0x4A                   17 one-byte header 0x91
//   4 Time 0x44 (bytes) or 0xC4     11 Connection ID 0xCB (4-byte) 18 Session Parameters 0x52
//   5 Description (decoded only)    12 Application Parameters 0x4C
//   6 Target 0x46                   13 Authenticate Challenge 0x4D
// A byte-sequence header's 2-byte length counts identifier, length field and value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarnik {

class PacketBuffer;

enum ObexHeaderIndex : int {
    kHeaderCount = 0,
    kHeaderName = 1,
    kHeaderType = 2,
    kHeaderLength = 3,
    kHeaderTime = 4,
    kHeaderDescription = 5,
    kHeaderTarget = 6,
    kHeader47 = 7,
    kHeaderBody = 8,
    kHeaderEndOfBody = 9,
    kHeaderWho = 10,
    kHeaderConnectionId = 11,
    kHeaderAppParameters = 12,
    kHeaderAuthChallenge = 13,
    kHeaderAuthResponse = 14,
    kHeaderCreatorId = 15,
    kHeaderWanUuid = 16,
    kHeaderOneByte = 17,
    kHeaderSessionParameters = 18,
    kHeaderKinds = 19,
};

using ObexBytes = std::vector<std::uint8_t>;

// Values of a request belong to the caller; values parsed from a response to the session until
// its next request.
struct ObexHeaderSet {
    std::array<bool, kHeaderKinds> present{};
    std::uint32_t count = 0;
    std::string name;  // single-byte text in the system code page
    ObexBytes type;
    std::uint32_t length = 0;
    std::uint8_t time_selector = 0;  // 0x40: byte-sequence form, 0xC0: four-byte form
    std::uint32_t time_value = 0;
    ObexBytes time_bytes;
    ObexBytes description, target, header47, body, end_of_body, who;
    std::uint32_t connection_id = 0;
    ObexBytes app_parameters, auth_challenge, auth_response;
    std::uint32_t creator_id = 0;
    ObexBytes wan_uuid;
    std::uint8_t one_byte = 0;
    ObexBytes session_parameters;

    // The value of a byte-sequence kind (Time: its byte form), or nullptr for other kinds.
    ObexBytes* bytes_of(int index);
    const ObexBytes* bytes_of(int index) const;
    // The value of a four-byte kind (Time: its four-byte form), or nullptr for other kinds.
    std::uint32_t* u32_of(int index);
    const std::uint32_t* u32_of(int index) const;

    void set_name(std::string text);
    void set_bytes(int index, ObexBytes value);
    void set_u32(int index, std::uint32_t value);
};

// Bytes the present headers take on the wire. Body counts when present, End of Body only
// without Body; Description is never sent.
std::size_t obex_header_set_size(const ObexHeaderSet* set);

// Appends the present headers in the fixed order. False when they do not fit the buffer.
bool obex_encode_headers(const ObexHeaderSet* set, PacketBuffer& out);

// Decodes n header bytes into set (cleared first). An identifier whose low six bits are 19 or
// more ends decoding. False when the lengths do not add up (a header running past the run, a
// length below 3, a Time header of neither form); nothing is read outside the run.
bool obex_decode_headers(const std::uint8_t* run, std::size_t n, ObexHeaderSet& set);

// Frees every value and clears the whole set.
void obex_release_headers(ObexHeaderSet& set);

}  // namespace zarnik
