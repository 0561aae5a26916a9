/* Preloaded into the wineserver of the sessions that run drivers under Wine's kernel. The
 * wineserver opens every file a Wine program opens, serial devices included, and as a session
 * leader without a terminal it would take the first pseudo-terminal it opens as its controlling
 * terminal; when the simulated handset then closes its side, the server gets SIGHUP and dumps
 * its whole object table into the drivers' debugger output. This library adds O_NOCTTY to every
 * open, which changes nothing for files that are not terminals. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/types.h>

typedef int (*open_function)(const char*, int, ...);
typedef int (*openat_function)(int, const char*, int, ...);

/* The mode argument is there only when the flags create a file. */
static mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

#define WRAP_OPEN(name)                                    \
    int name(const char* path, int flags, ...)             \
    {                                                      \
        static open_function real;                         \
        va_list args;                                      \
        va_start(args, flags);                             \
        const mode_t mode = mode_argument(flags, args);    \
        va_end(args);                                      \
        if (real == NULL) {                                \
            real = (open_function)dlsym(RTLD_NEXT, #name); \
        }                                                  \
        return real(path, flags | O_NOCTTY, mode);         \
    }

#define WRAP_OPENAT(name)                                     \
    int name(int directory, const char* path, int flags, ...) \
    {                                                         \
        static openat_function real;                          \
        va_list args;                                         \
        va_start(args, flags);                                \
        const mode_t mode = mode_argument(flags, args);       \
        va_end(args);                                         \
        if (real == NULL) {                                   \
            real = (openat_function)dlsym(RTLD_NEXT, #name);  \
        }                                                     \
        return real(directory, path, flags | O_NOCTTY, mode); \
    }

WRAP_OPEN(open)
WRAP_OPEN(open64)
WRAP_OPENAT(openat)
WRAP_OPENAT(openat64)
