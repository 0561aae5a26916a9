// Import redirection on arbitrary bytes: any input ends in an image or an error text, never in a
// read past the input or a crash.
#include "pe_import_redirect.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto result =
        pe_import_redirect::redirect_imports({data, size}, "wine_kernel_supply.sys", {"B", "KeInitializeDpc"});
    if (result.error.empty() && result.image.size() < size) {
        __builtin_trap();  // a redirected image only ever grows
    }
    return 0;
}
