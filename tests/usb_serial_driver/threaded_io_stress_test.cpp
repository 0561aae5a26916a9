// Threaded stress of the data paths on one open port: readers with interval time-outs race the
// handset's bulk-IN deliveries, writers race their total time-outs, their own cancels and a
// handset that accepts, half-accepts or refuses transfers, while another thread purges, changes
// the wait mask, waits on it and sends immediate characters. The emulation's worker runs DPCs and timers on a clock that
// follows real time. At the end every request must have completed exactly once and the kernel's
// checks must find nothing (no leak, no lock held, no lock-order inversion). Run under
// ThreadSanitizer by the linux-tsan preset; QUENTA_STRESS_ROUNDS sets the reads per reader.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "serial_port_fixture.h"
#include "stress_rounds.h"

namespace quenta {
namespace {

using kemu::Request;

struct Counts {
  std::atomic<long> reads{0}, bytesRead{0}, readTimeouts{0}, readsCancelled{0};
  std::atomic<long> writes{0}, bytesWritten{0}, writeTimeouts{0}, writesCancelled{0};
  std::atomic<long> purges{0}, maskChanges{0}, waits{0}, waitsAnswered{0}, immediates{0}, immediatesSent{0};
  std::atomic<long> bulkIn{0}, bulkOut{0};
};

void WaitFor(const Request& request, const char* what) {
  kemu::RunUntil([&request] { return request.Completed(); }, what);
}

class ThreadedIo : public SerialPortTest {
 protected:
  void Reader(Counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < StressRounds(); ++i) {
      Request read = Request::Read(fdo_, 1 + random() % 3000);
      read.Send();
      if (random() % 8 == 0) read.Cancel();
      WaitFor(read, "a read");
      counts.reads++;
      counts.bytesRead += long(read.Information());
      if (read.Status() == STATUS_TIMEOUT) counts.readTimeouts++;
      if (read.Status() == STATUS_CANCELLED) counts.readsCancelled++;
    }
  }
  void Writer(const std::atomic<bool>& stop, Counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    while (!stop) {
      Request write = Request::Write(fdo_, std::vector<UCHAR>(1 + random() % 5000, UCHAR(random())));
      write.Send();
      if (random() % 6 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        write.Cancel();
      }
      WaitFor(write, "a write");
      counts.writes++;
      counts.bytesWritten += long(write.Information());
      if (write.Status() == STATUS_TIMEOUT) counts.writeTimeouts++;
      if (write.Status() == STATUS_CANCELLED) counts.writesCancelled++;
    }
  }
  void Controller(const std::atomic<bool>& stop, Counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    while (!stop) {
      switch (random() % 5) {
        case 0: {
          ULONG mask = 1 + random() % 0xF;
          Request purge = Control(IOCTL_SERIAL_PURGE, Bytes(mask));
          WaitFor(purge, "a purge");
          counts.purges++;
          break;
        }
        case 1:
          Control(IOCTL_SERIAL_SET_WAIT_MASK,
                  Bytes(ULONG(random() % 2 ? SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY : SERIAL_EV_RX80FULL)));
          counts.maskChanges++;
          break;
        case 2: {
          // Answered by an event, or else cancelled: nothing else may come to end it.
          Request wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
          wait.Cancel();
          WaitFor(wait, "a wait");
          counts.waits++;
          if (wait.Status() == STATUS_SUCCESS) counts.waitsAnswered++;
          break;
        }
        case 3: {
          Request immediate = Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {UCHAR(random())});
          if (random() % 3 == 0) immediate.Cancel();
          WaitFor(immediate, "an immediate character");
          counts.immediates++;
          if (immediate.Status() == STATUS_SUCCESS) counts.immediatesSent++;
          break;
        }
        default:
          Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
          break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    }
  }
  // The handset: sends bytes, and takes what the writes send (all of it, part of it, or refuses
  // it with a URB status, leaving the write to its time-out or cancel).
  void Handset(const std::atomic<bool>& stop, Counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    while (!stop) {
      if (handset_->DeliverIn(std::vector<UCHAR>(random() % 700, UCHAR(random())))) counts.bulkIn++;
      ULONG choice = random() % 10;
      bool completed = choice < 7   ? handset_->CompleteOut()
                       : choice < 9 ? handset_->CompleteOut(STATUS_SUCCESS, USBD_STATUS_SUCCESS, random() % 2048)
                                    : handset_->CompleteOut(STATUS_SUCCESS, USBD_STATUS_STALL_PID);
      if (completed) counts.bulkOut++;
      // Now and then a pause longer than the read interval, so that reads also end by time-out.
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 40 ? random() % 200 : 5000));
    }
  }
};

TEST_F(ThreadedIo, ReadsWritesPurgesAndMaskChangesRaceTheHandset) {
  kemu::SetTimerResolution(10000);  // a 1 ms clock, so that time-outs come often
  handset_->SetOutCompletesLater(true);
  SetTimeouts(3, 0, 0, 1, 20);  // reads end 3 ms after a gap; writes after length + 20 ms
  Counts counts;
  std::atomic<bool> stop{false};
  auto started = std::chrono::steady_clock::now();
  kemu::StartThreads();
  std::thread handset([&] { Handset(stop, counts, 1); });
  std::thread writer([&] { Writer(stop, counts, 2); });
  std::thread controller([&] { Controller(stop, counts, 3); });
  std::thread first([&] { Reader(counts, 4); });
  std::thread second([&] { Reader(counts, 5); });
  first.join();
  second.join();
  stop = true;
  writer.join();
  controller.join();
  handset.join();
  EXPECT_EQ(Cleanup(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(Close(fdo_), STATUS_SUCCESS);
  kemu::StopThreads();
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf(
      "stress I/O: %ld reads (%ld bytes, %ld timed out, %ld cancelled), %ld writes (%ld bytes, %ld timed out, "
      "%ld cancelled), %ld purges, %ld mask changes, %ld waits (%ld answered), %ld immediate characters (%ld "
      "sent), %ld bulk-IN and %ld bulk-OUT completions, %.2f s\n",
      counts.reads.load(), counts.bytesRead.load(), counts.readTimeouts.load(), counts.readsCancelled.load(),
      counts.writes.load(), counts.bytesWritten.load(), counts.writeTimeouts.load(), counts.writesCancelled.load(),
      counts.purges.load(), counts.maskChanges.load(), counts.waits.load(), counts.waitsAnswered.load(),
      counts.immediates.load(), counts.immediatesSent.load(), counts.bulkIn.load(), counts.bulkOut.load(), seconds);
  EXPECT_EQ(counts.reads.load(), 2L * StressRounds());
  EXPECT_GT(counts.bytesRead.load(), 0);
  EXPECT_GT(counts.writes.load(), 0);
  EXPECT_EQ(port_->PendingRequestCount, 1);
  EXPECT_EQ(port_->PendingDpcCount, 1);
}

}  // namespace
}  // namespace quenta
