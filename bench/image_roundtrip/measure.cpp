// Runs a command once, its standard output discarded, and prints its wall time in microseconds,
// its peak resident memory in KiB and the processor time it used (user + system) in
// microseconds: "<us> <KiB> <cpu us>". Exits 1 when the command fails.
//   measure <program> [argument...]
// Timing starts just before the program is spawned and ends when it has been reaped, so the
// figure holds the program's own start-up but none of the shell's.
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure <program> [argument...]\n");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
        std::perror("measure: spawn");
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);

    const long long microseconds = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
    const long long cpu =
        (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    std::printf("%lld %ld %lld\n", microseconds, usage.ru_maxrss, cpu);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
