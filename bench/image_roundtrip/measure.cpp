// Runs a command once, its standard output discarded, and prints its wall time in microseconds,
// its peak resident memory in KiB and the processor time it used (user + system) in
// microseconds: "<us> <KiB> <cpu us>". Exits 1 when the command fails.
//   measure <program> [argument...] [--then <program> [argument...]]...
// Commands joined by "--then" run one after the other, as a shell's "&&" runs them, and are
// measured as one: the wall time spans them all, the processor times add up and the peak memory
// is the largest of theirs. A failing command stops the sequence.
// Timing starts just before the first program is spawned and ends when the last has been reaped,
// so the figure holds the programs' own start-up but none of a shell's.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

struct Usage {
    long long cpu_us = 0;
    long peak_kib = 0;
};

long long microseconds_of(const timeval& time)
{
    return time.tv_sec * 1000000LL + time.tv_usec;
}

// Runs argv (ended by nullptr) and adds what it used to usage. False when it could not be
// started or did not exit with 0.
bool run_one(char** argv, posix_spawn_file_actions_t& actions, Usage& usage)
{
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], &actions, nullptr, argv, environ) != 0) {
        std::perror("measure: spawn");
        return false;
    }
    int status = 0;
    rusage used{};
    wait4(child, &status, 0, &used);
    usage.cpu_us += microseconds_of(used.ru_utime) + microseconds_of(used.ru_stime);
    usage.peak_kib = std::max(usage.peak_kib, used.ru_maxrss);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--then") == 0) {
        std::fprintf(stderr, "usage: measure <program> [argument...] [--then <program> [argument...]]...\n");
        return 2;
    }
    // Each "--then" becomes the end of the command before it.
    std::vector<char**> commands{argv + 1};
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--then") == 0) {
            argv[i] = nullptr;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "measure: nothing after --then\n");
                return 2;
            }
            commands.push_back(argv + i + 1);
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    timespec start{};
    timespec end{};
    Usage usage;
    bool ok = true;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (char** command : commands) {
        if (!run_one(command, actions, usage)) {
            ok = false;
            break;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);

    const long long microseconds = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
    std::printf("%lld %ld %lld\n", microseconds, usage.peak_kib, usage.cpu_us);
    return ok ? 0 : 1;
}
