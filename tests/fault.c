// Preloaded into the tool by the tests: FAULT="CALL N ACTION [ARG...]" acts on the
// Nth call of CALL: write (to a file), out (write to stdout), open, close, mkdir or
// access. ACTION: fail E (fail with errno E); zero (return 0); raise S... or intr
// S... (raise each signal, then make the call, or fail with EINTR as a hung call
// does once a handler has run); swap A B (exchange two names, then make the call).
// A second fault may follow a ';'.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static long seen[2];

/* 0: make the real call; 1: fail with errno set; 2: return 0. */
static int hit(const char *name)
{
    const char *f = getenv("FAULT");
    for (int k = 0; k < 2 && f != NULL; ++k, f = strchr(f, ';') != NULL ? strchr(f, ';') + 1 : NULL) {
        char word[3][16];
        char arg[4][256];
        const int n = sscanf(f, "%15s %15s %15[^ ;] %255[^ ;] %255[^ ;] %255[^ ;] %255[^ ;]", word[0], word[1], word[2],
                             arg[0], arg[1], arg[2], arg[3]);
        const char *const action = word[2];
        if (n < 3 || strcmp(name, word[0]) != 0 || ++seen[k] != strtol(word[1], NULL, 10)) {
            continue;
        }
        if (strcmp(action, "swap") == 0) {
            return renameat2(AT_FDCWD, arg[0], AT_FDCWD, arg[1], RENAME_EXCHANGE) & 0;
        }
        for (int i = 0; i < n - 3 && (strcmp(action, "raise") == 0 || strcmp(action, "intr") == 0); ++i) {
            (void)raise((int)strtol(arg[i], NULL, 10));
        }
        errno = strcmp(action, "fail") == 0 ? (int)strtol(arg[0], NULL, 10) : EINTR;
        return strcmp(action, "zero") == 0 ? 2 : strcmp(action, "raise") != 0;
    }
    return 0;
}

// Our parameters need not be named as libc's declarations name them.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
// clang-format off
#define REAL(name) static __typeof__(name) *real; if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, #name)
#define WRAP(type, name, call, params, ...) \
    type name params { REAL(name); const int h = hit(call); return h == 1 ? -1 : h == 2 ? 0 : real(__VA_ARGS__); }
// clang-format on
WRAP(ssize_t, write, fd == 1 ? "out" : fd > 2 ? "write" : "", (int fd, const void *buf, size_t size), fd, buf, size)
WRAP(int, close, "close", (int fd), fd)
WRAP(int, mkdir, "mkdir", (const char *path, mode_t mode), path, mode)
WRAP(int, access, "access", (const char *path, int mode), path, mode)

int open(const char *path, int flags, ...)
{
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return hit("open") != 0 ? -1 : real(path, flags, mode);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
