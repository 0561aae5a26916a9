#include "pe_import_redirect.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pe_import_redirect {
namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kDescriptorSize = 20;
constexpr std::uint64_t kOrdinalFlag = 1ULL << 63;
constexpr std::uint32_t kSectionCharacteristics = 0x40000040;  // initialized data, readable
constexpr char kSectionName[8] = {'.', 'r', 'e', 'd', 'i', 'r', 0, 0};
constexpr std::uint64_t kMostImage = 0x40000000;  // far beyond any driver, far below 32-bit overflow

enum DataDirectory { kImportDirectory = 1, kSecurityDirectory = 4, kBoundImportDirectory = 11 };

// A reason the image cannot be redirected; caught at the top and returned as the error text.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// The image as bytes, every access checked against its length.
class Image {
public:
    explicit Image(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

    std::uint16_t u16(std::size_t offset) const { return static_cast<std::uint16_t>(get(offset, 2)); }
    std::uint32_t u32(std::size_t offset) const { return static_cast<std::uint32_t>(get(offset, 4)); }
    std::uint64_t u64(std::size_t offset) const { return get(offset, 8); }
    void put32(std::size_t offset, std::uint32_t value) { put(offset, value, 4); }
    void put16(std::size_t offset, std::uint16_t value) { put(offset, value, 2); }

    std::string c_string(std::size_t offset) const
    {
        std::string text;
        for (;; ++offset) {
            check(offset, 1);
            if (bytes_[offset] == 0) {
                return text;
            }
            text.push_back(static_cast<char>(bytes_[offset]));
        }
    }

    std::size_t size() const { return bytes_.size(); }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
    void check(std::size_t offset, std::size_t length) const
    {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            throw Refused("the image is cut short or an offset points outside it");
        }
    }
    std::uint64_t get(std::size_t offset, std::size_t length) const
    {
        check(offset, length);
        std::uint64_t value = 0;
        for (std::size_t i = length; i-- > 0;) {
            value = value << 8 | bytes_[offset + i];
        }
        return value;
    }
    void put(std::size_t offset, std::uint64_t value, std::size_t length)
    {
        check(offset, length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }

    std::vector<std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t virtual_size, virtual_address, raw_size, raw_offset;
};

struct Layout {
    std::size_t optional_header;
    std::size_t section_table;
    std::uint16_t section_count;
    std::uint32_t section_alignment, file_alignment, size_of_headers;
    std::vector<Section> sections;

    std::size_t data_directory(int index) const { return optional_header + 112 + 8 * index; }
    std::size_t checksum_field() const { return optional_header + 64; }
};

Layout read_layout(const Image& image)
{
    if (image.size() < 0x40 || image.u16(0) != 0x5A4D) {
        throw Refused("not a PE image (no MZ header)");
    }
    const std::size_t pe = image.u32(0x3C);
    if (image.u32(pe) != 0x00004550) {
        throw Refused("not a PE image (no PE signature)");
    }
    if (image.u16(pe + 4) != kMachineAmd64 || image.u16(pe + 24) != kMagicPe32Plus) {
        throw Refused("not an x86_64 (PE32+) image");
    }
    Layout layout{};
    layout.optional_header = pe + 24;
    layout.section_count = image.u16(pe + 6);
    layout.section_table = layout.optional_header + image.u16(pe + 20);
    layout.section_alignment = image.u32(layout.optional_header + 32);
    layout.file_alignment = image.u32(layout.optional_header + 36);
    layout.size_of_headers = image.u32(layout.optional_header + 60);
    if (image.u32(layout.optional_header + 108) < 13) {
        throw Refused("the image has too few data directories");
    }
    // The limits the PE format sets; they also keep every size below in 32 bits.
    const auto power_of_two = [](std::uint32_t value) { return value && !(value & (value - 1)); };
    if (!power_of_two(layout.file_alignment) || layout.file_alignment < 0x200 || layout.file_alignment > 0x10000 ||
        !power_of_two(layout.section_alignment) || layout.section_alignment < layout.file_alignment ||
        layout.section_alignment > 0x10000) {
        throw Refused("the image's alignments are not those of a PE image");
    }
    for (std::uint16_t i = 0; i < layout.section_count; ++i) {
        const std::size_t header = layout.section_table + i * kSectionHeaderSize;
        const Section section{image.u32(header + 8), image.u32(header + 12), image.u32(header + 16),
                              image.u32(header + 20)};
        if (section.raw_size && std::uint64_t(section.raw_offset) + section.raw_size > image.size()) {
            throw Refused("a section's data runs past the end of the image");
        }
        if (std::uint64_t(section.virtual_address) + std::max(section.virtual_size, section.raw_size) > kMostImage) {
            throw Refused("a section lies beyond the largest image");
        }
        layout.sections.push_back(section);
    }
    return layout;
}

std::size_t file_offset(const Layout& layout, std::uint32_t rva)
{
    for (const Section& section : layout.sections) {
        if (rva >= section.virtual_address && rva - section.virtual_address < section.raw_size &&
            rva - section.virtual_address < std::max(section.virtual_size, section.raw_size)) {
            return section.raw_offset + (rva - section.virtual_address);
        }
    }
    throw Refused("an import points outside the image's sections");
}

struct Import {
    std::uint64_t ordinal;  // with the ordinal flag, or 0 for an import by name
    std::uint16_t hint;
    std::string name;
    bool redirected;
};

struct Descriptor {
    std::string dll;
    std::uint32_t first_thunk;  // where its part of the original IAT starts
    std::vector<Import> imports;
};

// Splits every original descriptor into runs of imports that keep their DLL and runs that move
// to the new one; each run becomes a descriptor over its own part of the original IAT.
std::vector<Descriptor> split_descriptors(const Image& image, const Layout& layout, const std::string& new_dll,
                                          const std::vector<std::string>& functions, std::vector<bool>& found)
{
    const std::uint32_t directory_rva = image.u32(layout.data_directory(kImportDirectory));
    if (directory_rva == 0) {
        throw Refused("the image imports nothing");
    }
    std::vector<Descriptor> result;
    for (std::size_t at = file_offset(layout, directory_rva);; at += kDescriptorSize) {
        const std::uint32_t lookup_rva = image.u32(at);
        const std::uint32_t name_rva = image.u32(at + 12);
        const std::uint32_t iat_rva = image.u32(at + 16);
        if (name_rva == 0 && iat_rva == 0) {
            break;
        }
        const std::string dll = image.c_string(file_offset(layout, name_rva));
        std::vector<Import> imports;
        for (std::size_t entry = file_offset(layout, lookup_rva ? lookup_rva : iat_rva);; entry += 8) {
            const std::uint64_t thunk = image.u64(entry);
            if (thunk == 0) {
                break;
            }
            if (thunk & kOrdinalFlag) {
                imports.push_back({thunk, 0, {}, false});
                continue;
            }
            const std::size_t hint_name = file_offset(layout, static_cast<std::uint32_t>(thunk));
            Import import{0, image.u16(hint_name), image.c_string(hint_name + 2), false};
            const auto match = std::find(functions.begin(), functions.end(), import.name);
            if (match != functions.end()) {
                import.redirected = true;
                found[static_cast<std::size_t>(match - functions.begin())] = true;
            }
            imports.push_back(std::move(import));
        }
        for (std::size_t i = 0; i < imports.size();) {
            const bool redirected = imports[i].redirected;
            Descriptor run{redirected ? new_dll : dll, static_cast<std::uint32_t>(iat_rva + 8 * i), {}};
            for (; i < imports.size() && imports[i].redirected == redirected; ++i) {
                run.imports.push_back(imports[i]);
            }
            result.push_back(std::move(run));
        }
    }
    return result;
}

// Stores value little-endian in `length` bytes at offset.
void put_le(std::vector<std::uint8_t>& out, std::size_t offset, std::uint64_t value, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The new section's bytes: the descriptors (and their terminator), their lookup tables, then the
// DLL names and hint/name entries they point to, so the directory reads on its own; only the IAT
// stays where it was.
std::vector<std::uint8_t> build_section(const std::vector<Descriptor>& descriptors, std::uint32_t section_rva)
{
    std::vector<std::uint8_t> out((descriptors.size() + 1) * kDescriptorSize, 0);
    out.resize(align_up(static_cast<std::uint32_t>(out.size()), 8), 0);
    std::vector<std::size_t> lookup_tables;
    for (const Descriptor& descriptor : descriptors) {
        lookup_tables.push_back(out.size());
        out.resize(out.size() + 8 * (descriptor.imports.size() + 1), 0);
    }
    const auto rva_of = [&](std::size_t offset) { return static_cast<std::uint32_t>(section_rva + offset); };
    for (std::size_t d = 0; d < descriptors.size(); ++d) {
        const Descriptor& descriptor = descriptors[d];
        const std::size_t header = d * kDescriptorSize;
        put_le(out, header, rva_of(lookup_tables[d]), 4);  // time stamp and forwarder chain stay 0: not bound
        put_le(out, header + 12, rva_of(out.size()), 4);
        put_le(out, header + 16, descriptor.first_thunk, 4);
        out.insert(out.end(), descriptor.dll.begin(), descriptor.dll.end());
        out.push_back(0);
        for (std::size_t i = 0; i < descriptor.imports.size(); ++i) {
            const Import& import = descriptor.imports[i];
            std::uint64_t lookup = import.ordinal;
            if (!import.ordinal) {
                out.resize(align_up(static_cast<std::uint32_t>(out.size()), 2), 0);
                lookup = rva_of(out.size());
                out.push_back(static_cast<std::uint8_t>(import.hint));
                out.push_back(static_cast<std::uint8_t>(import.hint >> 8));
                out.insert(out.end(), import.name.begin(), import.name.end());
                out.push_back(0);
            }
            put_le(out, lookup_tables[d] + 8 * i, lookup, 8);
        }
    }
    return out;
}

Redirected redirect(std::span<const std::uint8_t> input, const std::string& new_dll,
                    const std::vector<std::string>& functions)
{
    Image image(input);
    const Layout layout = read_layout(image);
    if (image.u32(layout.data_directory(kSecurityDirectory) + 4) != 0) {
        throw Refused("the image is signed; redirect an unsigned image");
    }
    if (image.u32(layout.data_directory(kBoundImportDirectory) + 4) != 0) {
        throw Refused("the image has bound imports");
    }
    std::uint32_t virtual_end = layout.size_of_headers;
    for (const Section& section : layout.sections) {
        virtual_end = std::max(virtual_end, section.virtual_address + std::max(section.virtual_size, section.raw_size));
    }
    // The new section's bytes go at the end of the file, after anything already there (an
    // unstripped image keeps its symbol table there, found by its file offset).
    if (image.size() > kMostImage) {
        throw Refused("the image is larger than any driver");
    }
    const std::uint32_t raw_offset = align_up(static_cast<std::uint32_t>(image.size()), layout.file_alignment);
    const std::size_t new_header = layout.section_table + layout.section_count * kSectionHeaderSize;
    std::size_t first_raw = layout.size_of_headers;
    for (const Section& section : layout.sections) {
        if (section.raw_size) {
            first_raw = std::min<std::size_t>(first_raw, section.raw_offset);
        }
    }
    if (new_header + kSectionHeaderSize > first_raw) {
        throw Refused("the headers have no room for another section");
    }

    std::vector<bool> found(functions.size(), false);
    const std::vector<Descriptor> descriptors = split_descriptors(image, layout, new_dll, functions, found);
    for (std::size_t i = 0; i < functions.size(); ++i) {
        if (!found[i]) {
            throw Refused("the image does not import " + functions[i] + " by name");
        }
    }

    const std::uint32_t section_rva = align_up(virtual_end, layout.section_alignment);
    const std::vector<std::uint8_t> content = build_section(descriptors, section_rva);
    const std::uint32_t raw_size = align_up(static_cast<std::uint32_t>(content.size()), layout.file_alignment);

    std::vector<std::uint8_t>& bytes = image.bytes();
    bytes.resize(raw_offset, 0);
    bytes.insert(bytes.end(), content.begin(), content.end());
    bytes.resize(raw_offset + raw_size, 0);

    std::memcpy(&bytes[new_header], kSectionName, sizeof kSectionName);
    image.put32(new_header + 8, static_cast<std::uint32_t>(content.size()));
    image.put32(new_header + 12, section_rva);
    image.put32(new_header + 16, raw_size);
    image.put32(new_header + 20, raw_offset);
    image.put32(new_header + 36, kSectionCharacteristics);

    const std::size_t pe = layout.optional_header - 24;
    image.put16(pe + 6, static_cast<std::uint16_t>(layout.section_count + 1));
    const std::size_t initialized_data = layout.optional_header + 8;
    image.put32(initialized_data, image.u32(initialized_data) + raw_size);
    image.put32(layout.optional_header + 56,
                align_up(section_rva + static_cast<std::uint32_t>(content.size()), layout.section_alignment));
    image.put32(layout.data_directory(kImportDirectory), section_rva);
    image.put32(layout.data_directory(kImportDirectory) + 4,
                static_cast<std::uint32_t>((descriptors.size() + 1) * kDescriptorSize));
    image.put32(layout.checksum_field(), pe_checksum(bytes, layout.checksum_field()));
    return {std::move(bytes), {}};
}

}  // namespace

Redirected redirect_imports(std::span<const std::uint8_t> image, const std::string& new_dll,
                            const std::vector<std::string>& functions)
{
    if (new_dll.empty()) {
        return {{}, "no DLL to redirect to"};
    }
    try {
        return redirect(image, new_dll, functions);
    } catch (const Refused& refused) {
        return {{}, refused.what()};
    }
}

}  // namespace pe_import_redirect
