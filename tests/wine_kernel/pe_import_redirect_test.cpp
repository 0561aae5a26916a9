// pe_import_redirect on a small PE32+ image built here: which imports move, that nothing else of
// the image changes, the checksum, and the images it must refuse without reading past their end.
#include "pe_import_redirect.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPe = 0x40;
constexpr std::size_t kOptional = kPe + 24;
constexpr std::size_t kSections = kOptional + 240;
constexpr std::uint32_t kIdataRva = 0x2000;
constexpr std::size_t kIdataRaw = 0x600;

void put(Bytes& b, std::size_t at, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i) {
        b.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t get(const Bytes& b, std::size_t at, int size)
{
    std::uint64_t value = 0;
    for (int i = size; i-- > 0;) {
        value = value << 8 | b[at + static_cast<std::size_t>(i)];
    }
    return value;
}

std::string text_at(const Bytes& b, std::size_t at)
{
    return std::string(reinterpret_cast<const char*>(&b[at]));
}

// An x86_64 image with .text (0x1000) and .idata (0x2000): ntoskrnl.exe imports A, B, C, D (with
// an import by ordinal between C and D) and USBD.SYS imports E.
Bytes make_image()
{
    Bytes b(0x800, 0);
    put(b, 0, 0x5A4D, 2);
    put(b, 0x3C, kPe, 4);
    put(b, kPe, 0x00004550, 4);
    put(b, kPe + 4, 0x8664, 2);
    put(b, kPe + 6, 2, 2);
    put(b, kPe + 20, 240, 2);
    put(b, kOptional, 0x20B, 2);
    put(b, kOptional + 8, 0x200, 4);    // SizeOfInitializedData
    put(b, kOptional + 32, 0x1000, 4);  // SectionAlignment
    put(b, kOptional + 36, 0x200, 4);   // FileAlignment
    put(b, kOptional + 56, 0x3000, 4);  // SizeOfImage
    put(b, kOptional + 60, 0x400, 4);   // SizeOfHeaders
    put(b, kOptional + 108, 16, 4);     // NumberOfRvaAndSizes
    put(b, kOptional + 112 + 8, kIdataRva, 4);
    put(b, kOptional + 112 + 12, 60, 4);
    const char* names[2] = {".text", ".idata"};
    for (int s = 0; s < 2; ++s) {
        const std::size_t header = kSections + 40 * static_cast<std::size_t>(s);
        std::memcpy(&b[header], names[s], std::strlen(names[s]));
        put(b, header + 8, 0x200, 4);
        put(b, header + 12, 0x1000 + 0x1000 * static_cast<std::uint32_t>(s), 4);
        put(b, header + 16, 0x200, 4);
        put(b, header + 20, 0x400 + 0x200 * static_cast<std::uint32_t>(s), 4);
    }
    for (std::size_t i = 0x400; i < 0x600; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7);  // code
    }
    // .idata: descriptors at +0, lookup tables at +0x40 and +0x80, IATs at +0xA0 and +0xE0,
    // names from +0x100.
    auto rva = [](std::size_t offset) { return kIdataRva + static_cast<std::uint32_t>(offset); };
    auto raw = [](std::size_t offset) { return kIdataRaw + offset; };
    std::size_t name_at = 0x100;
    auto hint_name = [&](std::uint16_t hint, const char* name) {
        put(b, raw(name_at), hint, 2);
        std::memcpy(&b[raw(name_at + 2)], name, std::strlen(name));
        const std::uint32_t at = rva(name_at);
        name_at += (2 + std::strlen(name) + 1 + 1) & ~std::size_t(1);
        return at;
    };
    const std::uint64_t kernel[] = {hint_name(1, "A"), hint_name(2, "B"), hint_name(3, "C"), (1ULL << 63) | 77,
                                    hint_name(4, "D")};
    const std::uint64_t usbd[] = {hint_name(5, "E")};
    for (std::size_t i = 0; i < 5; ++i) {
        put(b, raw(0x40 + 8 * i), kernel[i], 8);
        put(b, raw(0xA0 + 8 * i), kernel[i], 8);
    }
    put(b, raw(0x80), usbd[0], 8);
    put(b, raw(0xE0), usbd[0], 8);
    const std::uint32_t kernel_name = rva(name_at);
    std::memcpy(&b[raw(name_at)], "ntoskrnl.exe", 12);
    const std::uint32_t usbd_name = rva(name_at + 16);
    std::memcpy(&b[raw(name_at + 16)], "USBD.SYS", 8);
    put(b, raw(0), rva(0x40), 4);
    put(b, raw(12), kernel_name, 4);
    put(b, raw(16), rva(0xA0), 4);
    put(b, raw(20), rva(0x80), 4);
    put(b, raw(32), usbd_name, 4);
    put(b, raw(36), rva(0xE0), 4);
    return b;
}

// The import directory as (DLL, IAT slot RVA, name or #ordinal) rows, read independently of the
// code under test: every RVA is looked up through the section table.
struct Row {
    std::string dll;
    std::uint32_t slot;
    std::string name;
    bool operator==(const Row&) const = default;
};

std::size_t offset_of(const Bytes& b, std::uint32_t rva)
{
    const std::size_t count = get(b, kPe + 6, 2);
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t header = kSections + 40 * s;
        const auto va = static_cast<std::uint32_t>(get(b, header + 12, 4));
        if (rva >= va && rva < va + get(b, header + 16, 4)) {
            return get(b, header + 20, 4) + (rva - va);
        }
    }
    ADD_FAILURE() << "RVA " << rva << " lies in no section";
    return 0;
}

std::vector<Row> imports(const Bytes& b)
{
    std::vector<Row> rows;
    for (std::size_t d = offset_of(b, static_cast<std::uint32_t>(get(b, kOptional + 120, 4)));; d += 20) {
        const auto lookup = static_cast<std::uint32_t>(get(b, d, 4));
        const auto slot = static_cast<std::uint32_t>(get(b, d + 16, 4));
        if (get(b, d + 12, 4) == 0) {
            return rows;
        }
        const std::string dll = text_at(b, offset_of(b, static_cast<std::uint32_t>(get(b, d + 12, 4))));
        for (std::size_t i = 0;; ++i) {
            const std::uint64_t entry = get(b, offset_of(b, lookup) + 8 * i, 8);
            if (entry == 0) {
                break;
            }
            Row row{dll, static_cast<std::uint32_t>(slot + 8 * i), "#"};
            if (entry >> 63) {
                row.name.append(std::to_string(entry & 0xFFFF));
            } else {
                row.name = text_at(b, offset_of(b, static_cast<std::uint32_t>(entry)) + 2);
            }
            rows.push_back(row);
        }
    }
}

std::uint32_t checksum_of(const Bytes& b)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < b.size(); i += 2) {
        std::uint64_t word = get(b, i, 2);
        if (i == kOptional + 64 || i == kOptional + 66) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + b.size());
}

TEST(ImportRedirection, NamedImportsComeFromTheNewDllThroughTheirOwnIatSlots)
{
    const Bytes original = make_image();
    const auto result = pe_import_redirect::redirect_imports(original, "supply.sys", {"B", "D"});
    ASSERT_EQ(result.error, "");
    const std::uint32_t iat = kIdataRva + 0xA0;
    const std::vector<Row> expected = {{"ntoskrnl.exe", iat, "A"},      {"supply.sys", iat + 8, "B"},
                                       {"ntoskrnl.exe", iat + 16, "C"}, {"ntoskrnl.exe", iat + 24, "#77"},
                                       {"supply.sys", iat + 32, "D"},   {"USBD.SYS", kIdataRva + 0xE0, "E"}};
    EXPECT_EQ(imports(result.image), expected);
    EXPECT_EQ(get(result.image, kPe + 6, 2), 3u);
    EXPECT_EQ(get(result.image, kOptional + 64, 4), checksum_of(result.image));
    EXPECT_EQ(get(result.image, kOptional + 56, 4), 0x4000u) << "SizeOfImage covers the new section";
}

TEST(ImportRedirection, NothingButTheChangedHeaderFieldsAndTheNewSectionDiffers)
{
    const Bytes original = make_image();
    const auto result = pe_import_redirect::redirect_imports(original, "supply.sys", {"A", "E"});
    ASSERT_EQ(result.error, "");
    ASSERT_GT(result.image.size(), original.size());
    const std::vector<std::pair<std::size_t, std::size_t>> allowed = {{kPe + 6, 2},         {kOptional + 8, 4},
                                                                      {kOptional + 56, 4},  {kOptional + 64, 4},
                                                                      {kOptional + 120, 8}, {kSections + 80, 40}};
    for (std::size_t i = 0; i < original.size(); ++i) {
        bool may_change = false;
        for (const auto& [at, length] : allowed) {
            may_change = may_change || (i >= at && i < at + length);
        }
        if (!may_change) {
            ASSERT_EQ(result.image[i], original[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(text_at(result.image, kSections + 80), ".redir");
}

TEST(ImportRedirection, RefusesImagesItCannotRedirectSafely)
{
    const Bytes original = make_image();
    using pe_import_redirect::redirect_imports;
    EXPECT_NE(redirect_imports(original, "supply.sys", {"B", "Z"}).error.find("Z"), std::string::npos);
    EXPECT_NE(redirect_imports(original, "", {"B"}).error, "");

    Bytes pe32 = original;
    put(pe32, kOptional, 0x10B, 2);
    EXPECT_NE(redirect_imports(pe32, "supply.sys", {"B"}).error.find("x86_64"), std::string::npos);

    Bytes signed_image = original;
    put(signed_image, kOptional + 112 + 4 * 8 + 4, 0x100, 4);
    EXPECT_NE(redirect_imports(signed_image, "supply.sys", {"B"}).error.find("signed"), std::string::npos);

    Bytes crowded = original;
    put(crowded, kOptional + 60, kSections + 80, 4);  // the headers end where the next section header would go
    put(crowded, kSections + 20, kSections + 80, 4);
    EXPECT_NE(redirect_imports(crowded, "supply.sys", {"B"}).error.find("room"), std::string::npos);
}

TEST(ImportRedirection, CutOrCorruptedImagesGiveAnErrorNeverAnOutOfBoundsRead)
{
    const Bytes original = make_image();
    for (std::size_t length = 0; length < original.size(); length += 7) {
        const Bytes cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_NE(pe_import_redirect::redirect_imports(cut, "supply.sys", {"B"}).error, "") << length;
    }
    // An RVA or a name that points outside the image.
    Bytes wild = original;
    put(wild, kIdataRaw + 12, 0x7FFFFFF0, 4);
    EXPECT_NE(pe_import_redirect::redirect_imports(wild, "supply.sys", {"B"}).error, "");
    wild = original;
    std::memset(&wild[kIdataRaw + 0x100], 'x', 0x100);  // names without an end inside .idata
    wild.resize(kIdataRaw + 0x200);
    EXPECT_NE(pe_import_redirect::redirect_imports(wild, "supply.sys", {"B"}).error, "");
}

}  // namespace
