// Threaded stress: open, cleanup and close on two threads race each other and a surprise removal
// on a third while a fourth delivers bulk-IN data and the emulation's worker runs DPCs, timers and
// deferred cancels. Each round plugs a handset in, races, removes it, and the world must end
// clean (no leak, no lock held, every request completed once). Run under ThreadSanitizer by the
// linux-tsan preset. QUENTA_STRESS_ROUNDS sets the number of rounds.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "device_objects.h"
#include "driver_entry.h"
#include "driver_fixture.h"
#include "stress_rounds.h"

namespace quenta {
namespace {

using kemu::Request;

struct Counts {
  std::atomic<long> opens{0}, refusedOpens{0}, closes{0}, deliveries{0}, rounds{0};
};

// Opens and closes until the device has gone; every open is followed by cleanup and close, as
// an application that closes its handle does.
void OpenCloseUntilGone(PDEVICE_OBJECT fdo, Counts& counts) {
  for (;;) {
    Request open = Request::Create(fdo);
    NTSTATUS status = open.Send();
    if (status == STATUS_SUCCESS) {
      counts.opens++;
      EXPECT_EQ(Request::Cleanup(fdo).Send(), STATUS_SUCCESS);
      EXPECT_EQ(Request::Close(fdo).Send(), STATUS_SUCCESS);
      counts.closes++;
      continue;
    }
    counts.refusedOpens++;
    if (status == STATUS_DELETE_PENDING) return;
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    std::this_thread::yield();
  }
}

void DeliverUntil(kemu::UsbHandset& handset, const std::atomic<bool>& stop, Counts& counts, unsigned seed) {
  std::mt19937 random(seed);
  while (!stop) {
    std::vector<UCHAR> bytes(random() % 64, UCHAR(random()));
    if (handset.DeliverIn(bytes)) counts.deliveries++;
    std::this_thread::yield();
  }
}

TEST_F(DriverTest, OpenCloseAndCleanupRaceSurpriseRemovalAndBulkCompletions) {
  Counts counts;
  std::mt19937 random(20240601);
  kemu::StartThreads();
  auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < StressRounds(); ++round) {
    kemu::UsbHandset& handset = AddHandset();
    handset.SetCancelMode(round % 2 ? kemu::UsbHandset::CancelMode::Deferred : kemu::UsbHandset::CancelMode::Inside);
    PDEVICE_OBJECT fdo = Attach(handset);
    std::atomic<bool> stopData{false};
    std::thread opener(OpenCloseUntilGone, fdo, std::ref(counts));
    std::thread rival(OpenCloseUntilGone, fdo, std::ref(counts));
    std::thread data(DeliverUntil, std::ref(handset), std::cref(stopData), std::ref(counts), unsigned(random()));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    handset.Unplug();
    ASSERT_EQ(kemu::SendPnp(handset.Pdo(), IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    opener.join();
    rival.join();
    stopData = true;
    data.join();
    ASSERT_EQ(Port(fdo)->PendingRequestCount, 1);
    ASSERT_EQ(kemu::SendPnp(handset.Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(DeviceNumberMap, 0);
    handsets_.clear();
    counts.rounds++;
  }
  kemu::StopThreads();
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("stress: %ld rounds, %ld opens and closes, %ld refused opens, %ld bulk-IN completions, %.2f s\n",
         counts.rounds.load(), counts.opens.load(), counts.refusedOpens.load(), counts.deliveries.load(), seconds);
  EXPECT_GT(counts.opens.load(), 0);
  EXPECT_GT(counts.deliveries.load(), 0);
}

}  // namespace
}  // namespace quenta
