// ffs_inspect check: two independent readings of one image and the use of its blocks.
#include "inspect_commands.h"

#include "Ffsfunc.h"
#include "ErrorNames.h"
#include "ffs_tree.h"
#include "image_check.h"
#include "image_io.h"
#include "root_params.h"

#include <cstdio>
#include <set>

using namespace brovald;

namespace {

using ffs_image::CheckResult;

std::string stored_root_name(const ffs_image::Image& area, const CheckResult& check)
{
    const ffs_image::InodeFields root = ffs_image::read_inode(area.data(), check.inode_block, check.root);
    const std::uint64_t start = std::uint64_t{root.location} * ffs_image::kAtom;
    std::string name;
    for (std::uint64_t at = start; at < start + root.size && at < area.size() && area[at] != 0; ++at) {
        name += static_cast<char>(area[at]);
    }
    return name;
}

const char* state_name(std::uint16_t state)
{
    switch (state) {
        case ffs_image::kFree:
            return "FREE";
        case ffs_image::kData:
            return "DATA";
        case ffs_image::kCleaning:
            return "CLEANING";
        case ffs_image::kCopying:
            return "COPYING";
        case ffs_image::kInodes:
            return "INODES";
        case ffs_image::kInodesLost:
            return "INODESLOST";
        case 0:
            return "no header";
        default:
            return "INVALID";
    }
}

void print_blocks(const ffs_image::Image& area, const CheckResult& check, int blocks)
{
    std::printf("block  state        age     used     lost  objects\n");
    int free_blocks = 0;
    long used = 0;
    long lost = 0;
    for (int b = 0; b < blocks; ++b) {
        const std::uint16_t state = check.states[b];
        const std::uint16_t age = ffs_image::read16(area.data(), ffs_image::block_start(b) + 6);
        const ffs_image::BlockCount& count = check.blocks[b];
        free_blocks += state == ffs_image::kFree;
        if (state == ffs_image::kData) {
            used += count.used;
            lost += count.lost;
        }
        std::printf("%5d  %-10s %5u %8d %8d %8d%s\n", b, state_name(state), age, count.used, count.lost, count.objects,
                    state == ffs_image::kInodes ? "  (inode slots)" : "");
    }
    std::printf("data blocks: %ld bytes used, %ld of them lost to deleted objects; %d free block%s\n", used, lost,
                free_blocks, free_blocks == 1 ? "" : "s");
}

// The FFS's tree and file contents against the independent reading's. Returns the differences.
std::vector<std::string> compare_readings(const CheckResult& check)
{
    std::vector<std::string> differences;
    std::set<std::string> seen;
    for (const TreeEntry& entry : walk_tree()) {
        seen.insert(entry.path);
        if (entry.error < 0) {
            differences.push_back(entry.path + ": " + ffs_error_name(entry.error));
            continue;
        }
        const auto other = check.tree.find(entry.path);
        if (other == check.tree.end()) {
            differences.push_back(entry.path + ": only the FFS sees it");
        } else if (other->second.type != entry.info.type) {
            differences.push_back(entry.path + ": of another type");
        } else if (entry.info.type == FFS_TYPE_FILE) {
            std::vector<std::uint8_t> bytes;
            const int r = read_ffs_file(entry.path, bytes);
            if (r < 0 || bytes != other->second.content) {
                differences.push_back(entry.path + ": content differs");
            }
        }
    }
    for (const auto& [path, entry] : check.tree) {
        if (seen.count(path) == 0) {
            differences.push_back(path + ": only the independent reading sees it");
        }
    }
    return differences;
}

}  // namespace

int inspect_check(ffs_image::Image& area)
{
    CheckResult check = ffs_image::check_image(area.data());
    RootParams params;
    if (check.root != 0) {
        const std::string root = stored_root_name(area, check);
        params = root_params(root);
        ffs_image::CheckOptions options;
        options.blocks = std::min(params.blocks, ffs_image::kBlocks);
        options.journal_size = params.journal_size;
        check = ffs_image::check_image(area.data(), options);
        std::printf("root \"%s\": inode %d, inode table in block %d, journal inode %d (%u bytes, next record at %u)\n",
                    from_utf8(root).c_str(), check.root, check.inode_block, check.journal, params.journal_size,
                    check.journal_position);
    }
    int status = 0;
    if (check.ok()) {
        std::printf("independent check: consistent\n");
    } else {
        std::printf("independent check: %zu problem%s\n%s", check.problems.size(),
                    check.problems.size() == 1 ? "" : "s", check.report().c_str());
        status = 1;
    }

    ffs_image::Image mounted = area;
    const int r = mount_image(mounted);
    std::printf("FFS mount: %s\n", ffs_error_name(r));
    if (r < 0) {
        status = 1;
    } else if (check.ok()) {
        const std::vector<std::string> differences = compare_readings(check);
        if (differences.empty()) {
            std::printf("FFS reading: agrees with the independent check (%zu objects)\n", check.tree.size());
        } else {
            std::printf("FFS reading: %zu difference%s\n", differences.size(), differences.size() == 1 ? "" : "s");
            for (const std::string& d : differences) {
                std::printf("  %s\n", from_utf8(d).c_str());
            }
            status = 1;
        }
    }
    print_blocks(area, check, std::min(params.blocks, ffs_image::kBlocks));
    return status;
}
