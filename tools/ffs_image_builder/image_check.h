// An independent reading of an FFS image: checks its consistency from the format rules alone
// and lists its tree with every file's bytes. Used by the power-cut tests after each remount and
// by the image tools.
//
// Consistent means: one inode table; one root; every live object reachable exactly once from
// the root (entries through directory chains, data through segment chains); live objects inside
// DATA blocks, not overlapping, with valid names and sizes that match their contents; no two
// entries of a directory with the same name; the journal a read-only ".journal" of the expected
// size in the root whose records are all applied or empty.
//
// Live segments that no file reaches are a problem too, but they are also listed apart: a file
// removal or truncation cut short by a power loss leaves exactly such segments behind (the
// segments are deleted one by one, after the file), so callers can tell that state from damage.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image_format.h"

namespace ffs_image {

struct Entry {
    int type = 0;  // kFile, kDir or kLink
    int inode = 0;
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> content;  // file: its bytes; link: the target path
    std::vector<std::uint32_t> pieces;  // file: data length of the file object and each segment
};

struct BlockCount {
    std::int32_t used = 0;  // data block: high-water mark in bytes; inode block: slots in use
    std::int32_t lost = 0;  // data block: bytes not held by live objects; inode block: slots not live
    int objects = 0;        // live objects located in the block
};

// Live segments that no file reaches, in segment-chain order, with their data.
struct UnreachableChain {
    std::vector<int> segments;
    std::vector<std::uint8_t> content;
};

struct CheckOptions {
    int blocks = kBlocks;               // blocks the file system uses
    std::uint32_t journal_size = 4096;  // 0: no journal expected
};

struct CheckResult {
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
    std::string report() const;  // the problems, one a line
    // Every problem is one of the unreachable segments below (each is reported once).
    bool ok_but_unreachable() const;
    std::vector<UnreachableChain> unreachable;

    int inode_block = -1;
    int root = 0;
    int journal = 0;
    std::uint32_t journal_position = 0;  // offset in the journal object of the first unapplied record
    std::map<std::string, Entry> tree;   // by absolute path; the root is "/"
    std::array<BlockCount, kBlocks> blocks{};
    std::array<std::uint16_t, kBlocks> states{};
};

CheckResult check_image(const std::uint8_t* area, const CheckOptions& options = {});

}  // namespace ffs_image
