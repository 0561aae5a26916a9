#include "ObexHeaders.h"

#include "Codepage.h"
#include "PacketBuffer.h"

namespace zarnik {

namespace {

constexpr std::uint8_t kTimeBytesSelector = 0x40;
constexpr std::uint8_t kTimeValueSelector = 0xC0;

// The order in which present headers go on the wire.
constexpr int kEncodeOrder[] = {
    kHeaderOneByte,       kHeaderConnectionId,
    kHeaderWho,           kHeaderCount,
    kHeaderName,          kHeaderType,
    kHeaderLength,        kHeaderTime,
    kHeaderTarget,        kHeader47,
    kHeaderBody,          kHeaderEndOfBody,
    kHeaderAppParameters, kHeaderAuthChallenge,
    kHeaderAuthResponse,  kHeaderCreatorId,
    kHeaderWanUuid,       kHeaderSessionParameters,
};

// The identifier sent for each index (Time: its byte form; Description is never sent).
constexpr std::uint8_t kIdentifier[kHeaderKinds] = {0xC0, 0x01, 0x42, 0xC3, 0x44, 0x05, 0x46, 0x47, 0x48, 0x49,
                                                    0x4A, 0xCB, 0x4C, 0x4D, 0x4E, 0xCF, 0x50, 0x91, 0x52};

constexpr std::size_t kMaxHeaderLength = 0xFFFF;

bool is_u32_kind(int index)
{
    return index == kHeaderCount || index == kHeaderLength || index == kHeaderConnectionId || index == kHeaderCreatorId;
}

// Whether the encoder writes this present header (Body wins over End of Body).
bool is_sent(const ObexHeaderSet& set, int index)
{
    if (!set.present[index] || index == kHeaderDescription) {
        return false;
    }
    return index != kHeaderEndOfBody || !set.present[kHeaderBody];
}

std::size_t wire_size(const ObexHeaderSet& set, int index)
{
    if (index == kHeaderName) {
        return 3 + 2 * (codepage_to_utf16(set.name).size() + 1);
    }
    if (index == kHeaderOneByte) {
        return 2;
    }
    if (index == kHeaderTime) {
        if (set.time_selector == kTimeValueSelector) {
            return 5;
        }
        return set.time_selector == kTimeBytesSelector ? set.time_bytes.size() + 3 : 0;
    }
    if (is_u32_kind(index)) {
        return 5;
    }
    return set.bytes_of(index)->size() + 3;
}

}  // namespace

ObexBytes* ObexHeaderSet::bytes_of(int index)
{
    return const_cast<ObexBytes*>(static_cast<const ObexHeaderSet*>(this)->bytes_of(index));
}

const ObexBytes* ObexHeaderSet::bytes_of(int index) const
{
    switch (index) {
        case kHeaderType:
            return &type;
        case kHeaderTime:
            return &time_bytes;
        case kHeaderDescription:
            return &description;
        case kHeaderTarget:
            return &target;
        case kHeader47:
            return &header47;
        case kHeaderBody:
            return &body;
        case kHeaderEndOfBody:
            return &end_of_body;
        case kHeaderWho:
            return &who;
        case kHeaderAppParameters:
            return &app_parameters;
        case kHeaderAuthChallenge:
            return &auth_challenge;
        case kHeaderAuthResponse:
            return &auth_response;
        case kHeaderWanUuid:
            return &wan_uuid;
        case kHeaderSessionParameters:
            return &session_parameters;
        default:
            return nullptr;
    }
}

std::uint32_t* ObexHeaderSet::u32_of(int index)
{
    return const_cast<std::uint32_t*>(static_cast<const ObexHeaderSet*>(this)->u32_of(index));
}

const std::uint32_t* ObexHeaderSet::u32_of(int index) const
{
    switch (index) {
        case kHeaderCount:
            return &count;
        case kHeaderLength:
            return &length;
        case kHeaderTime:
            return &time_value;
        case kHeaderConnectionId:
            return &connection_id;
        case kHeaderCreatorId:
            return &creator_id;
        default:
            return nullptr;
    }
}

void ObexHeaderSet::set_name(std::string text)
{
    name = std::move(text);
    present[kHeaderName] = true;
}

void ObexHeaderSet::set_bytes(int index, ObexBytes value)
{
    *bytes_of(index) = std::move(value);
    if (index == kHeaderTime) {
        time_selector = kTimeBytesSelector;
    }
    present[index] = true;
}

void ObexHeaderSet::set_u32(int index, std::uint32_t value)
{
    *u32_of(index) = value;
    if (index == kHeaderTime) {
        time_selector = kTimeValueSelector;
    }
    present[index] = true;
}

std::size_t obex_header_set_size(const ObexHeaderSet* set)
{
    if (set == nullptr) {
        return 0;
    }
    std::size_t size = 0;
    for (const int index : kEncodeOrder) {
        if (is_sent(*set, index)) {
            size += wire_size(*set, index);
        }
    }
    return size;
}

bool obex_encode_headers(const ObexHeaderSet* set, PacketBuffer& out)
{
    if (set == nullptr) {
        return true;
    }
    for (const int index : kEncodeOrder) {
        if (!is_sent(*set, index)) {
            continue;
        }
        if (index == kHeaderName) {
            const std::u16string units = codepage_to_utf16(set->name);
            const std::size_t length = 3 + 2 * (units.size() + 1);
            if (length > kMaxHeaderLength) {
                return false;
            }
            out.put_u8(kIdentifier[index]);
            out.put_u16(static_cast<std::uint16_t>(length));
            out.put_name_text(units);
        } else if (index == kHeaderOneByte) {
            out.put_u8(kIdentifier[index]);
            out.put_u8(set->one_byte);
        } else if (is_u32_kind(index) || (index == kHeaderTime && set->time_selector == kTimeValueSelector)) {
            out.put_u8(index == kHeaderTime ? 0xC4 : kIdentifier[index]);
            out.put_u32(*set->u32_of(index));
        } else if (index != kHeaderTime || set->time_selector == kTimeBytesSelector) {
            const ObexBytes& value = *set->bytes_of(index);
            if (value.size() + 3 > kMaxHeaderLength) {
                return false;
            }
            out.put_u8(kIdentifier[index]);
            out.put_u16(static_cast<std::uint16_t>(value.size() + 3));
            out.put_bytes(value.data(), value.size());
        }
    }
    return !out.overflowed();
}

bool obex_decode_headers(const std::uint8_t* run, std::size_t n, ObexHeaderSet& set)
{
    obex_release_headers(set);
    const std::uint8_t* p = run;
    while (n != 0) {
        const std::uint8_t id = p[0];
        const int index = id & 0x3F;
        if (index >= kHeaderKinds) {
            return true;  // the rest of the run is not ours to read
        }
        const int form = id >> 6;  // 1: byte sequence, 3: four-byte value (Time only)
        if (is_u32_kind(index) || (index == kHeaderTime && form == 3)) {
            if (n < 5) {
                return false;
            }
            *set.u32_of(index) = read_be32(p + 1);
            if (index == kHeaderTime) {
                set.time_selector = kTimeValueSelector;
            }
            set.present[index] = true;
            p += 5;
            n -= 5;
            continue;
        }
        if (index == kHeaderOneByte) {
            if (n < 2) {
                return false;
            }
            set.one_byte = p[1];
            set.present[index] = true;
            p += 2;
            n -= 2;
            continue;
        }
        if (index == kHeaderTime && form != 1) {
            return false;
        }
        if (n < 3) {
            return false;
        }
        const std::size_t length = read_be16(p + 1);
        if (length < 3 || length > n) {
            return false;
        }
        const std::uint8_t* value = p + 3;
        const std::size_t value_length = length - 3;
        if (index == kHeaderName) {
            // One character per UTF-16BE unit, its low byte; a terminator on the wire counts.
            std::string text(value_length / 2, '\0');
            for (std::size_t i = 0; i < text.size(); ++i) {
                text[i] = static_cast<char>(value[2 * i + 1]);
            }
            set.name = std::move(text);
        } else {
            set.bytes_of(index)->assign(value, value + value_length);
            if (index == kHeaderTime) {
                set.time_selector = kTimeBytesSelector;
            }
        }
        set.present[index] = true;
        p += length;
        n -= length;
    }
    return true;
}

void obex_release_headers(ObexHeaderSet& set)
{
    set = ObexHeaderSet{};
}

}  // namespace zarnik
