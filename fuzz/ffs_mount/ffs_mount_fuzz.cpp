// Mounts fuzzed flash images, walks their tree read-only, runs a sequence of file operations on
// them and mounts the result again when they wrote anything: no crash, no access outside the
// image, no hang.
//
// An input of exactly 4 MiB is an image (for trying an image by hand; the corpus holds patches).
// Any other input is: a base image (1 byte, one of the named builder images), a patch count
// (1 byte), that many patches (block: 1 byte, offset in the block: 2 bytes little-endian, length:
// 1 byte, then the bytes), then operations (an opcode byte and its arguments, see
// run_operations).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base_images.h"
#include "ffs.h"
#include "state.h"
#include "tracked_flash.h"

namespace {

using ffs_fuzz::TrackedFlash;

TrackedFlash& flash()
{
    static TrackedFlash tracked(ffs_fuzz::base_images());
    return tracked;
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Low byte first, in two statements: the two calls of one expression may run in either order,
    // and the replay builds (GCC) must read an input as the fuzzer (clang) did.
    std::uint16_t word()
    {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void patch(Input& in)
{
    flash().restore(in.byte() % ffs_fuzz::base_images().size());
    for (int patches = in.byte(); patches > 0 && !in.empty(); --patches) {
        std::uint32_t block = in.byte() % 64u;
        std::uint32_t offset = in.word();
        for (int length = in.byte(); length > 0 && !in.empty(); --length, ++offset)
            flash().poke(block * 0x10000u + (offset & 0xFFFFu), in.byte());
    }
}

// Work bounds of one input. A damaged image can make a file of thousands of overlapping
// segments, each of whose lengths is found by scanning its object: reading all of it, a few
// kilobytes at a time, took seconds. The first 64 KiB in two reads pass several segments still.
constexpr int kReadBytes = 32 * 1024;
constexpr int kReadsPerFile = 2;
constexpr int kEntriesPerWalk = 512;
int entries_left = 0;

void read_file(const std::string& path)
{
    int fd = ffs_open(path.c_str(), FFS_O_READ);
    if (fd < 0)
        return;
    static std::uint8_t buffer[kReadBytes];
    for (int reads = 0; reads < kReadsPerFile && ffs_read(fd, buffer, kReadBytes) > 0; ++reads) {
    }
    ffs_close(fd);
}

void walk(const std::string& path, int depth)
{
    ffs_dir cursor;
    if (depth > 8 || ffs_opendir(path.c_str(), &cursor) < 0)
        return;
    char name[FFS_NAME_BUFFER];
    while (--entries_left >= 0 && ffs_readdir(&cursor, name, sizeof name) > 0) {
        name[sizeof name - 1] = 0;
        std::string child = (path == "/" ? "/" : path + "/") + name;
        ffs_stat_info info;
        if (ffs_stat(child.c_str(), &info) < 0)
            continue;
        if (info.type == FFS_TYPE_DIR)
            walk(child, depth + 1);
        else
            read_file(child);
    }
}

// Paths over the names the base images hold, a few bad ones, and up to four levels.
std::string path_from(std::uint8_t selector)
{
    static const char* const names[] = {"docs",
                                        "deep",
                                        "big.bin",
                                        "IMEI",
                                        "inline.txt",
                                        "to-a",
                                        "updated",
                                        ".journal",
                                        "new",
                                        "x:y",
                                        "0123456789012345678901234567890123456789X",
                                        ""};
    std::string path;
    int levels = 1 + (selector >> 6);
    for (int i = 0; i < levels; ++i)
        path += std::string("/") + names[(selector + i * 5) % (sizeof names / sizeof names[0])];
    return path;
}

// The bytes an operation writes: a slice of one fixed pattern (filling a buffer for every write
// cost more than the FFS's own work).
struct Contents {
    const std::uint8_t* data;
    std::size_t size;
};

// Bytes an input may write in all: it keeps each input's work bounded (the small layouts reach
// their reclaims within it).
constexpr std::size_t kWriteBudget = 64 * 1024;
std::size_t budget_left = 0;

Contents contents(std::uint16_t size, std::uint8_t seed)
{
    constexpr std::size_t kLongest = 20000;
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> bytes(kLongest + 256);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
        return bytes;
    }();
    const std::size_t n = std::min<std::size_t>(size % kLongest, budget_left);
    budget_left -= n;
    return {pattern.data() + seed, n};
}

void write(const std::string& path, int flags, Contents data, int pieces)
{
    int fd = ffs_open(path.c_str(), flags);
    if (fd < 0)
        return;
    std::size_t step = data.size / static_cast<std::size_t>(pieces) + 1;
    for (std::size_t at = 0; at < data.size; at += step)
        ffs_write_b(fd, data.data + at, static_cast<int>(std::min(step, data.size - at)));
    ffs_close(fd);
}

void run_operations(Input& in)
{
    budget_left = kWriteBudget;
    for (int count = 0; count < 48 && !in.empty(); ++count) {
        const std::uint8_t op = in.byte();
        const std::string path = path_from(in.byte());
        switch (op % 7) {
            case 0:
                ffs_mkdir(path.c_str());
                break;
            case 1:
                write(path, 0x2B, contents(in.word(), op), 1);
                break;
            case 2:
                ffs_remove(path.c_str());
                break;
            case 3:
                write(path, FFS_O_WRITE | FFS_O_TRUNC, contents(in.word(), op), 3);
                break;
            case 4:
                write(path, FFS_O_WRITE | FFS_O_APPEND | FFS_O_CREATE, contents(in.word(), op), 2);
                break;
            case 5:
                write(path, FFS_O_READ | FFS_O_WRITE, contents(in.word(), op), 1);
                break;
            default:
                read_file(path);
                break;
        }
    }
}

// Runs one input; the FFS's heap (descriptors and their buffers) is released at its end, so an
// input frees all it allocates: libFuzzer runs an input again, looking for a leak, whenever it
// allocated more than it freed (a mount after a failed one did, every time).
int run_input(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    if (size == TrackedFlash::kImageSize)
        flash().load(data);
    else
        patch(in);
    if (ffs_initialize() != 0)
        return 0;
    entries_left = kEntriesPerWalk;
    walk("/", 0);
    if (size == TrackedFlash::kImageSize)
        return 0;
    flash().take_written();
    run_operations(in);
    // What the operations wrote is mounted and read again; without a write it was read already.
    if (flash().take_written() && ffs_initialize() == 0) {
        entries_left = kEntriesPerWalk;
        walk("/", 0);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    run_input(data, size);
    flashfs::fs = flashfs::FileSystem{};
    return 0;
}
