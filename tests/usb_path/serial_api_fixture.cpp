#include "serial_api_fixture.h"

#include "driver_entry.h"

namespace usbpath {

void SerialApi::SetUp()
{
    kemu::Reset();
    kemu::SetTimerResolution(kemu::kWindowsClockTick);
    driver_ = kemu::LoadDriver(DriverEntry, u"Quenta");
    ASSERT_NE(driver_, nullptr);
    handset_ = std::make_unique<kemu::UsbHandset>();
    kemu::SetDeviceString(handset_->Pdo(), u"PortName", u"COM5");
    ASSERT_EQ(kemu::AddDevice(driver_, handset_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(kemu::StartDevice(handset_->Pdo()), STATUS_SUCCESS);
    k32::SetCommStateOrder(k32::CommStateOrder::RealWindows);
    k32::EnableTrace(true);
    k32::TakeTrace();
}

void SerialApi::TearDown()
{
    k32::CloseEveryHandle();
    k32::EnableTrace(false);
    k32::TakeTrace();
    kemu::RunUntilIdle();
    if (handset_ && handset_->Pdo()->AttachedDevice) {
        kemu::SendPnp(handset_->Pdo(), IRP_MN_REMOVE_DEVICE);
    }
    if (driver_) {
        kemu::UnloadDriver(driver_);
    }
    for (const std::string& problem : kemu::Problems()) {
        ADD_FAILURE() << problem;
    }
    handset_.reset();
    kemu::Reset();
}

HANDLE SerialApi::Open(bool overlapped)
{
    port_ = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    RequestsSent();
    return port_;
}

void SerialApi::SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier,
                            DWORD writeConstant)
{
    COMMTIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts)) << "error " << GetLastError();
}

void SerialApi::Deliver(const std::string& bytes)
{
    ASSERT_TRUE(handset_->DeliverIn(std::vector<UCHAR>(bytes.begin(), bytes.end())));
}

std::vector<std::string> SerialApi::RequestsSent()
{
    std::vector<std::string> requests;
    for (const std::string& line : k32::TakeTrace()) {
        const bool request = line.rfind("IRP_MJ_", 0) == 0 || line.rfind("IOCTL_", 0) == 0;
        if (request && line.find(" done ") == std::string::npos) {
            requests.push_back(line.substr(0, line.find(' ')));
        }
    }
    return requests;
}

long long SerialApi::ClockMilliseconds()
{
    return kemu::Now() / 10000;
}

}  // namespace usbpath
