// A flash driver for tests with the null driver's operation table, over a 4 MiB buffer that it
// binds as the FFS's flash. It counts writes and erases per block, records every write that
// would turn a 0 bit into 1 outside an erase (a real flash cannot), and can cut the power after
// N operations: that operation and every later one is dropped. An operation is one halfword
// write or one block erase.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

namespace ffs_test {

inline constexpr std::uint32_t kFlashSize = 0x400000;
inline constexpr int kFlashBlocks = 64;

struct BitViolation {
    std::uint32_t offset;
    std::uint16_t before;
    std::uint16_t written;
};

class RecordingFlash {
public:
    explicit RecordingFlash(std::vector<std::uint8_t> image = std::vector<std::uint8_t>(kFlashSize, 0xFF));
    ~RecordingFlash();
    RecordingFlash(const RecordingFlash&) = delete;
    RecordingFlash& operator=(const RecordingFlash&) = delete;

    std::vector<std::uint8_t>& image() { return image_; }
    // Starts over on a copy of these bytes: counts, cut and power reset (the buffer is reused).
    void reload(const std::vector<std::uint8_t>& image);
    // Starts over on the bytes of the last reload, copying back only the pages written since:
    // power-cut runs start thousands of times from one image.
    void restart();
    std::uint8_t* data() { return image_.data(); }

    // Power cut: operations [0, n) happen, operation n and all later ones are dropped.
    void cut_after(std::uint64_t n) { cut_ = n; }
    void no_cut() { cut_ = UINT64_MAX; }
    // Power back: later operations happen again (the counts go on).
    void restore_power()
    {
        no_cut();
        power_lost_ = false;
    }
    bool power_lost() const { return power_lost_; }

    std::uint64_t operations() const { return operations_; }
    std::uint64_t halfword_writes() const { return halfwords_; }
    std::uint64_t bytes_programmed() const { return 2 * halfwords_; }
    const std::array<std::uint64_t, kFlashBlocks>& writes() const { return writes_; }
    const std::array<std::uint64_t, kFlashBlocks>& erases() const { return erases_; }
    const std::vector<BitViolation>& violations() const { return violations_; }
    void reset_counts();

    // Remembers which operations lie inside a multi-halfword write, so that power-cut tests can
    // cut at every other point and only at every k-th point inside bulk data.
    void record_kinds(bool on) { record_kinds_ = on; }
    std::vector<std::uint64_t> cut_points(std::uint64_t interior_stride) const;

    static RecordingFlash* current() { return current_; }

    // Driver operations (called through the FFS's operation table).
    void erase(std::uint8_t block);
    void write_halfword(std::uint8_t* address, std::uint16_t value);
    void write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count);

private:
    static constexpr std::uint32_t kPageSize = 0x1000;
    bool next_operation();
    void touch(std::uint32_t offset, std::uint32_t count);

    std::vector<std::uint8_t> image_;
    std::vector<std::uint8_t> reloaded_;             // the bytes restart() goes back to
    std::bitset<kFlashSize / kPageSize> written_{};  // pages changed since then
    std::uint64_t cut_ = UINT64_MAX;
    bool power_lost_ = false;
    std::uint64_t operations_ = 0;
    std::uint64_t halfwords_ = 0;
    std::array<std::uint64_t, kFlashBlocks> writes_{};
    std::array<std::uint64_t, kFlashBlocks> erases_{};
    std::vector<BitViolation> violations_;
    bool record_kinds_ = false;
    bool in_bulk_ = false;
    std::vector<bool> interior_;  // per operation: inside a bulk write (not its first or last)
    static RecordingFlash* current_;
};

}  // namespace ffs_test
