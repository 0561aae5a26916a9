// quenta_throughput: bytes per second through Quenta's read and write paths on the deterministic
// kernel emulation, against a memcpy of the same bytes in the same process.
//   read-direct  64 KiB reads that wait, filled straight from bulk-IN completions of 2048 bytes
//   read-ring    bulk-IN completions of 2048 bytes into a 64 KiB ring, then one 64 KiB read
//   write        64 KiB writes, sent in 2048-byte transfers the handset accepts at once
// Every figure includes the emulated kernel's own work (IRPs, locks, DPCs), so it is a floor of
// what the driver does on Windows. Prints one line per path:
//   quenta_throughput <path> <MB/s> MB/s, <ratio> of memcpy
// (MB = 10^6 bytes; the median of several runs.)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "driver_entry.h"
#include "port_extension.h"
#include "test_controls.h"
#include "usb_handset.h"

namespace {

constexpr ULONG BlockBytes = 64 * 1024;
constexpr ULONG TransferBytes = 2048;
constexpr int BlocksPerRun = 256;  // 16 MiB a run
constexpr int Runs = 7;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Bytes per second of one run of work that moves BlocksPerRun blocks.
double Rate(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return double(BlockBytes) * BlocksPerRun / seconds;
}

void Check(bool ok, const char* what)
{
    if (ok)
        return;
    fprintf(stderr, "quenta_throughput: %s\n", what);
    exit(1);
}

class Port {
public:
    Port()
    {
        kemu::Reset();
        kemu::SetTimerResolution(kemu::kWindowsClockTick);
        driver_ = kemu::LoadDriver(DriverEntry, u"Quenta");
        handset_ = std::make_unique<kemu::UsbHandset>();
        kemu::SetDeviceString(handset_->Pdo(), u"PortName", u"COM5");
        Check(kemu::AddDevice(driver_, handset_->Pdo()) == STATUS_SUCCESS, "AddDevice failed");
        Check(kemu::StartDevice(handset_->Pdo()) == STATUS_SUCCESS, "the start failed");
        fdo_ = handset_->Pdo()->AttachedDevice;
        Check(kemu::Request::Create(fdo_).Send() == STATUS_SUCCESS, "the open failed");
        data_.resize(TransferBytes);
        for (size_t i = 0; i < data_.size(); ++i)
            data_[i] = UCHAR(i * 31 + 7);
    }
    ~Port()
    {
        kemu::Request::Cleanup(fdo_).Send();
        kemu::Request::Close(fdo_).Send();
        kemu::SendPnp(handset_->Pdo(), IRP_MN_REMOVE_DEVICE);
        kemu::UnloadDriver(driver_);
        for (const std::string& problem : kemu::Problems())
            fprintf(stderr, "quenta_throughput: %s\n", problem.c_str());
        handset_.reset();
        kemu::Reset();
    }

    void Control(ULONG code, const std::vector<UCHAR>& input)
    {
        Check(kemu::Request::DeviceControl(fdo_, code, input, 0).Send() == STATUS_SUCCESS, "a request failed");
    }
    void DeliverBlock()
    {
        for (ULONG sent = 0; sent < BlockBytes; sent += TransferBytes)
            Check(handset_->DeliverIn(data_), "no bulk-IN");
    }

    // A 64 KiB read that waits, filled in direct mode.
    void ReadDirect()
    {
        kemu::Request read = kemu::Request::Read(fdo_, BlockBytes);
        read.Send();
        DeliverBlock();
        kemu::RunDpcs();
        Check(read.Completed() && read.Information() == BlockBytes, "a direct read did not fill");
    }
    // The ring takes the block; a 64 KiB read takes it out at once.
    void ReadFromRing()
    {
        DeliverBlock();
        kemu::Request read = kemu::Request::Read(fdo_, BlockBytes);
        read.Send();
        Check(read.Completed() && read.Information() == BlockBytes, "a ring read did not complete at once");
    }
    void Write(const std::vector<UCHAR>& block)
    {
        kemu::Request write = kemu::Request::Write(fdo_, block);
        write.Send();
        kemu::RunDpcs();
        Check(write.Completed() && write.Information() == BlockBytes, "a write did not complete");
    }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<kemu::UsbHandset> handset_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::vector<UCHAR> data_;
};

double MemcpyRate()
{
    std::vector<UCHAR> from(BlockBytes, 0x5A), to(BlockBytes);
    volatile UCHAR sink = 0;
    double rate = Rate([&] {
        for (int i = 0; i < BlocksPerRun; ++i) {
            from[size_t(i) % BlockBytes] = UCHAR(i);
            memcpy(to.data(), from.data(), BlockBytes);
            sink = sink + to[size_t(i * 7) % BlockBytes];
        }
    });
    (void)sink;
    return rate;
}

void Report(const char* path, double rate, double reference)
{
    printf("quenta_throughput %s %.1f MB/s, %.3f of memcpy\n", path, rate / 1e6, rate / reference);
}

}  // namespace

int main()
{
    std::vector<double> memcpyRates, direct, ring, write;
    for (int run = 0; run < Runs; ++run) {
        memcpyRates.push_back(MemcpyRate());
        {
            Port port;
            direct.push_back(Rate([&] {
                for (int i = 0; i < BlocksPerRun; ++i)
                    port.ReadDirect();
            }));
        }
        {
            Port port;
            SERIAL_QUEUE_SIZE size = {BlockBytes, 0};
            port.Control(
                IOCTL_SERIAL_SET_QUEUE_SIZE,
                std::vector<UCHAR>(reinterpret_cast<UCHAR*>(&size), reinterpret_cast<UCHAR*>(&size) + sizeof size));
            ring.push_back(Rate([&] {
                for (int i = 0; i < BlocksPerRun; ++i)
                    port.ReadFromRing();
            }));
        }
        {
            Port port;
            std::vector<UCHAR> block(BlockBytes, 'w');
            write.push_back(Rate([&] {
                for (int i = 0; i < BlocksPerRun; ++i)
                    port.Write(block);
            }));
        }
    }
    double reference = Median(memcpyRates);
    Report("read-direct", Median(direct), reference);
    Report("read-ring", Median(ring), reference);
    Report("write", Median(write), reference);
    printf("quenta_throughput memcpy %.1f MB/s (the reference; %d runs of %d x 64 KiB each)\n", reference / 1e6, Runs,
           BlocksPerRun);
    return 0;
}
