// pe_import_redirect IN OUT DLL FUNCTION...: writes OUT, a copy of the x86_64 driver image IN in
// which the named imports come from DLL instead; everything else of IN stays as it was.
#include "pe_import_redirect.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: pe_import_redirect IN OUT DLL FUNCTION...\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "pe_import_redirect: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::vector<std::string> functions(argv + 4, argv + argc);
    const pe_import_redirect::Redirected result = pe_import_redirect::redirect_imports(image, argv[3], functions);
    if (!result.error.empty()) {
        std::fprintf(stderr, "pe_import_redirect: %s: %s\n", argv[1], result.error.c_str());
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(result.image.data()), static_cast<std::streamsize>(result.image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "pe_import_redirect: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
