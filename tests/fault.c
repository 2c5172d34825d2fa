// Preloaded into the tool by the tests: FAULT="CALL N ACTION [ARG...]" acts on the Nth call
// of CALL: write (to a file), out (write to stdout), open, close, mkdir, access or sigaction.
// ACTION: fail E (fail with errno E); zero [E] (return 0, errno left at E); raise S... or
// intr S... (raise each signal, then make the call, or fail with EINTR as a hung call does
// once a handler has run); after S (make the call, then raise S); swap A B (exchange two
// absolute names, then make the call). A second fault may follow a ';'.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static long seen[2];
static int later; // the signal to raise once the call is made

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
        if (strcmp(action, "after") == 0) {
            later = (int)strtol(arg[0], NULL, 10);
            return 0;
        }
        if (strcmp(action, "swap") == 0) { // absolute names need no directory
            return renameat2(0, arg[0], 0, arg[1], RENAME_EXCHANGE) & 0;
        }
        for (int i = 0; i < n - 3 && (strcmp(action, "raise") == 0 || strcmp(action, "intr") == 0); ++i) {
            (void)raise((int)strtol(arg[i], NULL, 10));
        }
        errno = n > 3 && strcmp(action, "intr") != 0 ? (int)strtol(arg[0], NULL, 10) : EINTR;
        return strcmp(action, "zero") == 0 ? 2 : strcmp(action, "raise") != 0;
    }
    return 0;
}

// Our parameters need not be named as libc's are, and open's mode is passed on
// as the tool gives it, without <fcntl.h>'s variadic declaration.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
// clang-format off
#define WRAP(type, name, call, params, ...) type name params { \
    static __typeof__(name) *real; if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, #name); \
    const int h = hit(call); if (h != 0) return h == 1 ? -1 : 0; \
    const type r = real(__VA_ARGS__); int s = later; later = 0; \
    return s != 0 && raise(s) != 0 ? -1 : r; }
// clang-format on
WRAP(ssize_t, write, fd == 1 ? "out" : fd > 2 ? "write" : "", (int fd, const void *buf, size_t size), fd, buf, size)
WRAP(int, open, "open", (const char *path, int flags, mode_t mode), path, flags, mode)
WRAP(int, close, "close", (int fd), fd)
WRAP(int, mkdir, "mkdir", (const char *path, mode_t mode), path, mode)
WRAP(int, access, "access", (const char *path, int mode), path, mode)
WRAP(int, sigaction, "sigaction", (int sig, const struct sigaction *act, struct sigaction *old), sig, act, old)
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
