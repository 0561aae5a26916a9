// Zarnik's send throughput against the simulated handset: payload bytes per second of SendFile
// for a 200 KiB file, with the handset pacing its line at 115200 baud (maximum packet lengths
// 0x2000 and 0x0400) and unpaced over the bare pseudo-terminal. The reference run is the same
// line carrying raw bytes, measured in this process: an AT line of the same length, timed from
// its first byte to the handset's answer.
#include "Comport.h"
#include "HandsetSim.h"
#include "Obexunit.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace zarnik;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileSize = 200 * 1024;
constexpr double kLineRate = 115200 / 10.0;  // bytes per second: start, 8 data and stop bit

struct Handset {
    explicit Handset(const std::filesystem::path& root, int baud, int max_packet)
    {
        handset_sim::Config config;
        config.root = root;
        config.baud = baud;
        config.max_packet = max_packet;
        std::filesystem::create_directories(root);
        sim = std::make_unique<handset_sim::HandsetSim>(config);
        std::string error;
        if (!sim->start(error)) {
            std::fprintf(stderr, "obex_throughput: %s\n", error.c_str());
            std::exit(1);
        }
        SetComportDevice(sim->slave_path());
    }
    ~Handset() { ComportClose(); }
    std::unique_ptr<handset_sim::HandsetSim> sim;
};

// Raw bytes per second over the line: one AT line of `size` bytes until its "OK".
double raw_line_rate(const std::filesystem::path& root, int baud, std::size_t size)
{
    Handset handset(root, baud, 0x2000);
    comport_timing().first_byte_wait = std::chrono::seconds(120);
    ComportOpen(115200);
    std::string line(size - 1, 'x');
    line += '\r';
    std::uint8_t reply[64];
    const auto start = Clock::now();
    ObexSend(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    ObexRecv(reply, sizeof reply);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    comport_timing() = ComportTiming{};
    return static_cast<double>(size) / seconds;
}

// Payload bytes per second of SendFile.
double obex_rate(const std::filesystem::path& root, int baud, int max_packet, int& chunk)
{
    Handset handset(root, baud, max_packet);
    const int id = InitObex(chunk);
    if (id < 0) {
        std::fprintf(stderr, "obex_throughput: InitObex failed (%d)\n", id);
        std::exit(1);
    }
    std::istringstream file(std::string(kFileSize, 'z'));
    const auto start = Clock::now();
    const int result = SendFile(id, file, "bench.bin", chunk);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ObexClose(id);
    if (result != 0 || std::filesystem::file_size(root / "bench.bin") != kFileSize) {
        std::fprintf(stderr, "obex_throughput: the file did not arrive whole (%d)\n", result);
        std::exit(1);
    }
    return static_cast<double>(kFileSize) / seconds;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/obex-bench.XXXXXX";
    const std::filesystem::path work = mkdtemp(pattern);
    std::filesystem::current_path(work);
    // The progress lines of SendFile go to a file, not between the results.
    std::fflush(stdout);
    const int console = dup(1);
    std::freopen("console.txt", "w", stdout);

    int chunk_2000 = 0;
    int chunk_0400 = 0;
    int chunk_free = 0;
    const double reference_paced = raw_line_rate(work / "raw-paced", 115200, 64 * 1024);
    const double paced_2000 = obex_rate(work / "paced-2000", 115200, 0x2000, chunk_2000);
    const double paced_0400 = obex_rate(work / "paced-0400", 115200, 0x0400, chunk_0400);
    const double reference_free = raw_line_rate(work / "raw-free", 0, kFileSize);
    const double free_2000 = obex_rate(work / "free-2000", 0, 0x2000, chunk_free);

    std::fflush(stdout);
    dup2(console, 1);
    std::printf("file: %zu bytes; line rate at 115200 baud: %.0f bytes/s\n", kFileSize, kLineRate);
    std::printf("reference, raw bytes over the paced line:   %8.0f bytes/s (%.3f of the line rate)\n", reference_paced,
                reference_paced / kLineRate);
    std::printf(
        "paced, max packet 0x2000 (chunk %4d):      %8.0f bytes/s  ratio %.3f of the line rate, %.3f of the "
        "reference  (goal >= 0.95)\n",
        chunk_2000, paced_2000, paced_2000 / kLineRate, paced_2000 / reference_paced);
    std::printf(
        "paced, max packet 0x0400 (chunk %4d):      %8.0f bytes/s  ratio %.3f of the line rate, %.3f of the "
        "reference  (goal >= 0.85)\n",
        chunk_0400, paced_0400, paced_0400 / kLineRate, paced_0400 / reference_paced);
    std::printf("reference, raw bytes over the bare pty:     %8.0f bytes/s\n", reference_free);
    std::printf("unpaced pty, max packet 0x2000 (chunk %4d): %8.0f bytes/s  ratio %.3f of the raw pty reference\n",
                chunk_free, free_2000, free_2000 / reference_free);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(work);
    return paced_2000 / kLineRate >= 0.95 && paced_0400 / kLineRate >= 0.85 ? 0 : 1;
}
