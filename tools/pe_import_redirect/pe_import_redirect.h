// Import redirection in a PE32+ image: named imports move from the DLL they come from to another
// DLL, and nothing else of the image changes. The image gains one section with a new import
// directory; its descriptors reuse the original import address table, so every call site, every
// other section and the original import data stay byte for byte as they were.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pe_import_redirect {

struct Redirected {
    std::vector<std::uint8_t> image;  // empty on failure
    std::string error;                // what is wrong with the input, when it failed
};

// Moves the imports named in `functions` (from any DLL) to `new_dll`. Fails when the image is not
// a PE32+ image, a function is not imported by name, the headers have no room for one more
// section, the image is signed, or it has bound imports.
Redirected redirect_imports(std::span<const std::uint8_t> image, const std::string& new_dll,
                            const std::vector<std::string>& functions);

// The PE checksum the Windows loader checks for drivers: the 16-bit words of the file added with
// end-around carry, the CheckSum field counted as 0, plus the file length.
std::uint32_t pe_checksum(std::span<const std::uint8_t> image, std::size_t checksum_offset);

}  // namespace pe_import_redirect
