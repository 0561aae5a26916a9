// FFS churn benchmark: 2000 file writes of 1-20 KiB replacing one another over 200 paths on a
// formatted 4 MiB image, enough for data reclaim to run many times; once with the default format
// parameters (inode reclaim runs a few times) and once with 1024 inode slots ("i1024", inode
// reclaim runs many times). Each write replaces the file the way Brovald does (remove, create,
// one write, close). Measured with the null driver (what Brovald runs); the same workload is
// repeated on the recording driver for the flash counts.
//
// Reference, in the same process: one 4 MiB image read and write of the image layer (working
// copy, S-record read, S-record write back), as in a Brovald run.
//
//   ffs_churn [runs]        prints the figures and the ratio; exit 1 when the ratio exceeds 1
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageFileSettings.h"
#include "ImageGeometry.h"
#include "ImageReader.h"
#include "Miscunit.h"
#include "SrecWriter.h"
#include "WorkingCopy.h"
#include "ffs.h"
#include "image_builder.h"
#include "recording_flash.h"
#include "state.h"

using namespace brovald;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWrites = 2000;
constexpr int kPaths = 200;

struct Write {
    std::string path;
    std::size_t size;
};

std::vector<Write> workload()
{
    std::vector<Write> writes;
    std::uint32_t x = 12345;
    auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 8; };
    for (int i = 0; i < kWrites; ++i) {
        std::string dir = "/d" + std::to_string(next() % 10);
        writes.push_back({dir + "/f" + std::to_string(next() % (kPaths / 10)), 1024 + next() % (19 * 1024 + 1)});
    }
    return writes;
}

struct ChurnResult {
    double seconds = 0;
    long calls = 0;
    std::uint64_t user_bytes = 0;
    int inode_tables = 0;
    bool ok = true;
};

ChurnResult churn(const std::vector<Write>& writes, const std::vector<std::uint8_t>& data)
{
    ChurnResult r;
    const auto start = Clock::now();
    r.ok = ffs_initialize() == 0;
    for (int d = 0; d < 10 && r.ok; ++d)
        r.ok = ffs_mkdir(("/d" + std::to_string(d)).c_str()) == 0;
    r.calls = 11;
    for (const Write& w : writes) {
        if (!r.ok)
            break;
        const int table = flashfs::fs.inodes;
        ffs_stat_info info;
        if (ffs_stat(w.path.c_str(), &info) == 0) {
            r.ok = r.ok && ffs_remove(w.path.c_str()) == 0;
            ++r.calls;
        }
        int fd = ffs_open(w.path.c_str(), 0x2B);
        r.ok = r.ok && fd >= 0 && ffs_write_b(fd, data.data(), static_cast<int>(w.size)) == static_cast<int>(w.size) &&
               ffs_close(fd) == 0;
        r.calls += 4;
        r.user_bytes += w.size;
        r.inode_tables += flashfs::fs.inodes != table;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

std::vector<std::uint8_t> formatted;  // the image each run starts from
std::vector<std::uint8_t> plain;
std::uint8_t* plain_base()
{
    return plain.data();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One read and write of the image layer: working copy, S-records in, S-records out.
double image_round_trip()
{
    const auto start = Clock::now();
    create_working_copy();
    std::uint8_t* image = working_copy_base();
    if (image == nullptr)
        return -1;
    file_read_image(image, image_size);
    const WriteRange ranges[] = {{0, image_size}, {0, 0}};
    int written = file_write_image(image, image_size, ranges);
    remove_working_copy();
    return written < 0 ? -1 : std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    ChurnResult result;
    double ffs_seconds;
    double reference_seconds;
    std::uint64_t programmed;
    std::uint64_t user_bytes;
    std::uint64_t erases;
    std::uint64_t most_erases;
    std::uint64_t least_erases;
    int inode_tables;
};

// Times the churn and the image layer's round trip alternately, then counts on the recording driver.
bool measure(const std::string& root_name, const std::vector<Write>& writes, const std::vector<std::uint8_t>& data,
             int runs, Figures& f)
{
    ffs_image::Layout layout;
    layout.root_name = root_name;
    formatted = ffs_image::ImageBuilder(layout).image();
    std::vector<double> ffs_times, reference_times;
    for (int run = -1; run < runs; ++run) {  // run -1 warms the caches and is not counted
        plain = formatted;
        ffs_bind_flash_base(plain_base);
        f.result = churn(writes, data);
        double reference = image_round_trip();
        if (!f.result.ok || reference < 0)
            return false;
        if (run >= 0) {
            ffs_times.push_back(f.result.seconds);
            reference_times.push_back(reference);
        }
    }
    ffs_test::RecordingFlash flash(formatted);
    ChurnResult counted = churn(writes, data);
    const auto& erases = flash.erases();
    f.erases = 0;
    for (std::uint64_t e : erases)
        f.erases += e;
    const auto [least, most] = std::minmax_element(erases.begin(), erases.end());
    f.most_erases = *most;
    f.least_erases = *least;
    f.programmed = flash.bytes_programmed();
    f.user_bytes = counted.user_bytes;
    f.inode_tables = counted.inode_tables;
    f.ffs_seconds = median(ffs_times);
    f.reference_seconds = median(reference_times);
    return counted.ok;
}

// The image layer's reference works on a real S-record file of a formatted image.
bool write_reference_image(const std::filesystem::path& file)
{
    image_file_settings.names[0] = file.string();
    create_working_copy();
    std::uint8_t* image = working_copy_base();
    if (image == nullptr)
        return false;
    const std::vector<std::uint8_t> blank = ffs_image::ImageBuilder().image();
    std::copy(blank.begin(), blank.end(), image);
    const WriteRange ranges[] = {{0, image_size}, {0, 0}};
    const int written = file_write_image(image, image_size, ranges);
    remove_working_copy();
    return written >= 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::vector<Write> writes = workload();
    std::vector<std::uint8_t> data(20 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 31 + (i >> 7));

    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "ffs_churn_bench";
    std::filesystem::create_directories(scratch);
    std::filesystem::current_path(scratch);
    open_log("bench.log");  // the working copy reports itself on the console and in the log
    image_file_settings.program_path = argv[0];
    if (!write_reference_image(scratch / "image.s3")) {
        std::fprintf(stderr, "ffs_churn: cannot write the reference image\n");
        return 2;
    }

    bool met = true;
    for (const char* root_name : {"/", "/ffs/i1024"}) {
        Figures f{};
        if (!measure(root_name, writes, data, runs, f)) {
            std::fprintf(stderr, "ffs_churn: the workload failed with root %s\n", root_name);
            return 2;
        }
        const double ratio = f.ffs_seconds / f.reference_seconds;
        met = met && ratio <= 1;
        std::printf("\nroot \"%s\": %d file writes of 1-20 KiB over %d paths (%.1f MiB of file data)\n", root_name,
                    kWrites, kPaths, static_cast<double>(f.user_bytes) / (1 << 20));
        std::printf("ffs churn:         %8.1f ms (median of %d), %.0f API calls/s, %.0f file writes/s\n",
                    f.ffs_seconds * 1000, runs, static_cast<double>(f.result.calls) / f.ffs_seconds,
                    kWrites / f.ffs_seconds);
        std::printf("flash programmed:  %.2f bytes per user byte\n",
                    static_cast<double>(f.programmed) / static_cast<double>(f.user_bytes));
        std::printf("block erases:      %llu in all, per block max %llu min %llu; inode table moves %d\n",
                    static_cast<unsigned long long>(f.erases), static_cast<unsigned long long>(f.most_erases),
                    static_cast<unsigned long long>(f.least_erases), f.inode_tables);
        std::printf("image read+write:  %8.1f ms (median of %d, the image layer's reference)\n",
                    f.reference_seconds * 1000, runs);
        std::printf("ratio (ffs churn / image read+write): %.2f  (target <= 1: %s)\n", ratio,
                    ratio <= 1 ? "met" : "MISSED");
    }
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(scratch);
    return met ? 0 : 1;
}
