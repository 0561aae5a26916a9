// wine_keep_alive: says "ready", then waits for ever. The first Wine program of a session starts
// the driver hosts, which inherit its standard error (the drivers' debugger output) and stop when
// the last program of the session ends; this one keeps the session up until the wineserver is
// told to end. Its "ready" line tells the session's script that it was that first program, so the
// script may start others: one started before it would take the driver hosts' output with it.
#include <windows.h>

#include <cstdio>

int main()
{
    std::puts("ready");
    std::fflush(stdout);
    Sleep(INFINITE);
}
