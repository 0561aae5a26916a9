// wine_keep_alive: waits for ever. The first Wine program of a session starts the driver hosts,
// which inherit its standard error (the drivers' debugger output) and stop when the last
// program of the session ends; this one keeps the session up until the wineserver is told to end.
#include <windows.h>

int main()
{
    Sleep(INFINITE);
}
