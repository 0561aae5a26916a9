// The two format parameters of a root name that decide how an image is laid out: how many
// blocks the file system uses, and the size of its journal.
#pragma once

#include <cstdint>
#include <string_view>

struct RootParams {
    int blocks = 64;
    std::uint32_t journal_size = 4096;  // 0: no journal
};

// Reads the parameter list after the second "/" of a root name ("/ffs/b32j512"): letters each
// followed by a decimal number, other letters skipped. A journal value below 1024 counts in
// 1/256ths of the 64 KiB block.
RootParams root_params(std::string_view root_name);
