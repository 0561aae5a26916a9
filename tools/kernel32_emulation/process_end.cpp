// The end of the process. Windows stops every other thread before it tears a process down; here
// the thread that ends the process marks it as ending, and every other thread stops for good at
// its next call into the layer (or when a wait it is in ends), so none of them acts on what the
// teardown does, such as the requests a closing handle cancels.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <unistd.h>

#include "kernel32_controls.h"
#include "user_half.h"

namespace k32 {

namespace {

struct Ending {
    std::mutex mutex;
    bool started = false;
    std::thread::id thread;
    std::atomic<bool> flag{false};
    std::function<void(unsigned)> end;
};

Ending& TheEnding()
{
    static Ending* ending = new Ending;  // never destroyed: stopped threads look at it
    return *ending;
}

[[noreturn]] void StopForGood()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

}  // namespace

void SetProcessEnd(std::function<void(unsigned)> end)
{
    Ending& ending = TheEnding();
    const std::lock_guard lock(ending.mutex);
    ending.end = std::move(end);
}

void EndProcess(unsigned code)
{
    Ending& ending = TheEnding();
    std::function<void(unsigned)> end;
    {
        const std::lock_guard lock(ending.mutex);
        if (ending.started) {
            // Another thread is ending the process already; it will exit.
            StopForGood();
        }
        ending.started = true;
        ending.thread = std::this_thread::get_id();
        ending.flag.store(true, std::memory_order_release);
        end = ending.end;
    }
    if (end) {
        end(code);
    }
    CloseEveryHandle();
    std::fflush(nullptr);
    _exit(static_cast<int>(code));
}

namespace detail {

void Enter()
{
    Ending& ending = TheEnding();
    if (ending.flag.load(std::memory_order_acquire) && ending.thread != std::this_thread::get_id()) {
        StopForGood();
    }
}

}  // namespace detail

}  // namespace k32

void ExitProcess(UINT uExitCode)
{
    k32::detail::Enter();
    k32::EndProcess(uExitCode);
}
