/* Preloaded into Wine for the end-to-end runs over a pseudo-terminal. A pseudo-terminal has no
 * modem-control lines, so the requests for them fail with ENOTTY, and Wine then ends every
 * WaitCommEvent at once. This library answers those requests as a line with DTR, RTS, CTS, DSR
 * and carrier up, and lets the requests that set lines succeed without effect. Every other
 * request, and every request on a real serial device, goes through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_function real_ioctl;
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (real_ioctl == NULL) {
        real_ioctl = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    }
    const int result = real_ioctl(fd, request, argument);
    if (result != -1 || errno != ENOTTY) {
        return result;
    }
    switch (request) {
        case TIOCMGET:
            *(int*)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        default:
            return result;
    }
}
