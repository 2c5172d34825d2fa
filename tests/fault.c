// Preloaded into the tool. FAULT="CALL N ACTION [ARG...]" acts on the Nth call of CALL (or of any, for '*', malloc
// aside): out (a write or send to stdout), write (elsewhere), outclose, close, wait (a poll that may wait), reopen (of
// /proc/self/fd/N), diropen (of a directory), open, or another call wrapped below. ACTION: fail E (errno E); zero
// (return 0); raise S... (raise each, then make the call); intr S... (raise each, then fail with EINTR as a hung call
// does, if a handler of the tool's ran); kill S... (each, by number or name, sent in turn by another process, which
// sends SIGCONT once a stop signal stopped the tool; then the call); swap A B (swap two names first); fill S...
// (another writer fills stdout; then as raise); hangup (of stdout). S: a number, RTMIN+K or RTMAX-K. A ';' may add a
// second fault. FAULT_TTY=copy makes stdout a terminal whose output reaches the first stdout; stalled, one nobody
// reads; full, one stopped (^S). FAULT_ARG=N makes the last argument N bytes long. FAULT_LOG=FILE gets the name of each
// call '*' counts. FAULT_STRERROR=N... prints the C library's texts of the errnos below and each N, and exits.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static long seen[2];
static int armed, trace = -1; // whether the tool runs (its calls count); FAULT_LOG
static char out[256];         // what stdout was at the start, as /proc names it
static ssize_t (*real_readlink)(const char *, char *, size_t);

static int is(const char *a, const char *b) { return strcmp(a, b) == 0; }
static int number(const char *s) { return (int)strtol(s, NULL, 10); }
static int sig(const char *s) { return s[0] != 'R' ? number(s) : number(s + 5) + (s[3] == 'I' ? SIGRTMIN : SIGRTMAX); }

// A call's name: on is the name where fd is stdout, off the name elsewhere.
static const char *what(int fd, const char *on, const char *off)
{
    char link[32], name[sizeof out] = ""; // NOLINT(readability-isolate-declaration)
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return real_readlink(link, name, sizeof name - 1) > 0 && is(name, out) ? on : off;
}

// Starts one of the host's programs, in as its stdin, without stderr or environment, which no fault must reach.
// An emulator runs it natively, and needs no fork (qemu-i386's hangs).
static pid_t spawn(char *argv[], int in)
{
    posix_spawn_file_actions_t files;
    pid_t pid = -1;
    (void)(posix_spawn_file_actions_init(&files) || posix_spawn_file_actions_adddup2(&files, in, 0) ||
           posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0) ||
           posix_spawn(&pid, argv[0], &files, NULL, argv, (char *[]){NULL}));
    (void)posix_spawn_file_actions_destroy(&files);
    return pid;
}

// What an action does before the call (its calls are not the tool's); whether a handler of the tool's ran, as one
// must for a hung call to be interrupted: a signal blocked or ignored interrupts nothing.
static int act(const char *action, int n, char arg[][256])
{
    static const char zeros[4096];
    int handled = 0;
    const int fd = is(action, "fill") ? open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK) : -1;
    while (fd >= 0 && write(fd, zeros, sizeof zeros) > 0) {}
    (void)close(fd);
    char cmd[4096] = "";
    for (int i = 0, at = 0; i < n && is(action, "kill") && at >= 0; ++i) { // 8 of at most 400 bytes fit
        const int stop = strstr(" TSTP TTIN TTOU ", arg[i]) != NULL;
        at += snprintf(cmd + at, sizeof cmd - (size_t)at, "p=%d; kill -%s $p; %s", getpid(), arg[i],
                       stop ? "until grep -q '^State:.T' /proc/$p/status; do :; done; kill -CONT $p;" : "");
    }
    if (cmd[0] != '\0') { (void)waitpid(spawn((char *[]){"/bin/sh", "-c", cmd, NULL}, 0), NULL, 0); }
    for (int i = 0; i < n && (is(action, "raise") || is(action, "intr") || is(action, "fill")); ++i) {
        sigset_t pending;
        struct sigaction old;
        (void)raise(sig(arg[i]));
        // cppcheck-suppress unreachableCode ; a caught or blocked signal returns
        handled |= sigpending(&pending) == 0 && !sigismember(&pending, sig(arg[i])) &&
                   sigaction(sig(arg[i]), NULL, &old) == 0 && old.sa_handler != SIG_IGN && old.sa_handler != SIG_DFL;
    }
    if (is(action, "hangup")) { (void)ioctl(1, TIOCVHANGUP); }
    if (is(action, "swap")) { (void)syscall(SYS_renameat2, AT_FDCWD, arg[0], AT_FDCWD, arg[1], 2 /* EXCHANGE */); }
    return handled;
}

/* 0: make the real call; 1: fail with errno set; 2: return 0. */
static int hit(const char *name)
{
    const char *f = armed ? getenv("FAULT") : NULL;
    if (armed && trace >= 0 && !is(name, "malloc")) { (void)dprintf(trace, "%s\n", name); }
    for (int k = 0; k < 2 && f != NULL; ++k, f = strchr(f, ';') != NULL ? strchr(f, ';') + 1 : NULL) {
        char word[3][16], arg[8][256]; // NOLINT(readability-isolate-declaration)
#define ARG " %255[^ ;]"
        const int n = sscanf(f, "%15s %15s %15[^ ;]" ARG ARG ARG ARG ARG ARG ARG ARG, word[0], word[1], word[2], arg[0],
                             arg[1], arg[2], arg[3], arg[4], arg[5], arg[6], arg[7]);
        if (n >= 3 && (is(name, word[0]) || (is(word[0], "*") && !is(name, "malloc"))) &&
            ++seen[k] == number(word[1])) {
            armed = 0;
            const int handled = act(word[2], n - 3, arg);
            armed = 1;
            errno = is(word[2], "fail") ? number(arg[0]) : EINTR;
            return is(word[2], "zero") ? 2 : is(word[2], "fail") || (is(word[2], "intr") && handled);
        }
    }
    return 0;
}

// clang-format off
// The lookup is not counted: it may allocate.
#define PASS(name, call, failed, ...) \
    static __typeof__(name) *next; \
    if (next == NULL) { const int was = armed; armed = 0; *(void **)&next = dlsym(RTLD_NEXT, #name); armed = was; } \
    const int h_ = hit(call); \
    return h_ == 0 ? next(__VA_ARGS__) : h_ == 1 ? (failed) : 0;
#define WRAP(type, name, call, failed, params, ...) type name params { PASS(name, call, failed, __VA_ARGS__) }
#define OPENED strncmp(path, "/proc/self/fd/", 14) == 0 ? "reopen" : flags & O_DIRECTORY ? "diropen" : "open"
#define OPEN(name) int name(const char *path, int flags, ...) { va_list ap; va_start(ap, flags); \
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0; va_end(ap); \
    PASS(name, OPENED, -1, path, flags, mode) }
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name): our parameters need not be named as libc's are
WRAP(ssize_t, write, what(fd, "out", "write"), -1, (int fd, const void *buf, size_t size), fd, buf, size)
WRAP(int, close, what(fd, "outclose", "close"), -1, (int fd), fd)
WRAP(int, mkdir, "mkdir", -1, (const char *path, mode_t mode), path, mode)
WRAP(int, access, "access", -1, (const char *path, int mode), path, mode)
WRAP(int, sigaction, "sigaction", -1, (int s, const struct sigaction *a, struct sigaction *old), s, a, old)
WRAP(int, sigprocmask, "sigprocmask", -1, (int how, const sigset_t *set, sigset_t *old), how, set, old)
WRAP(ssize_t, send, what(fd, "out", "write"), -1, (int fd, const void *b, size_t size, int f), fd, b, size, f)
WRAP(int, poll, timeout != 0 ? "wait" : "poll", -1, (struct pollfd *p, nfds_t n, int timeout), p, n, timeout)
WRAP(int, unlinkat, "unlinkat", -1, (int dir, const char *name, int flags), dir, name, flags)
WRAP(int, isatty, "isatty", 0, (int fd), fd)
WRAP(sighandler_t, signal, "signal", SIG_ERR, (int s, sighandler_t h), s, h)
int fcntl(int fd, int cmd, ...) { va_list ap; va_start(ap, cmd); const long arg = va_arg(ap, long); va_end(ap);
    PASS(fcntl, "fcntl", -1, fd, cmd, arg) } // as libc, it takes the argument that some commands have
WRAP(int, fstat, "fstat", -1, (int fd, struct stat *st), fd, st)
WRAP(int, fstatat, "fstatat", -1, (int dir, const char *name, struct stat *st, int flags), dir, name, st, flags)
OPEN(open)
WRAP(int, __open_2, OPENED, -1, (const char *path, int flags), path, flags) // fortified, where flags vary
#ifdef __GLIBC__ // and the large-file names that 32-bit builds take
WRAP(int, fstat64, "fstat", -1, (int fd, struct stat64 *st), fd, st)
WRAP(int, fstatat64, "fstatat", -1, (int dir, const char *name, struct stat64 *st, int flags), dir, name, st, flags)
OPEN(open64)
WRAP(int, __open64_2, OPENED, -1, (const char *path, int flags), path, flags)
#endif
#if defined(__GLIBC__) && !defined(SANITIZED) // glibc lets malloc be replaced; a sanitizer must keep its own
extern void *__libc_malloc(size_t size); // NOLINT(*-reserved-identifier,cert-dcl*)
void *malloc(size_t size) { return hit("malloc") != 0 ? NULL : __libc_malloc(size); }
#endif
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
#define E(name) (void)printf("%s %s\n", #name, strerror(name))
// clang-format on

// Makes stdout the terminal that FAULT_TTY names.
static void terminal(const char *tty)
{
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int s = m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0 ? open(ptsname(m), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    const int copy = is(tty, "copy");
    // copy: cat copies what it shows until the tool's end closes it; full: stopped, as by ^S, which no flush undoes.
    if (s >= 0 && copy) { (void)spawn((char *[]){"/bin/cat", NULL}, m); }
    const int ok = s >= 0 && (!is(tty, "full") || tcflow(s, TCOOFF) == 0) && dup2(s, 1) >= 0 && close(s) == 0;
    if (!ok || (copy && close(m) != 0)) { _exit(99); }
}

__attribute__((constructor)) static void start(void)
{
    const long big = getenv("FAULT_ARG") != NULL ? number(getenv("FAULT_ARG")) : 0;
    char *const arg = big > 0 ? calloc(big + 1, 1) : NULL;
    if (arg != NULL) { environ[-2] = memset(arg, 'x', big); } // argv ends where environ begins
    char *list = getenv("FAULT_STRERROR");
    if (list != NULL) {
        E(EACCES), E(EEXIST), E(EFBIG), E(EINTR), E(EIO), E(ENAMETOOLONG), E(ENOENT), E(ENOSPC), E(ENOTDIR), E(EROFS);
        for (char *n = strtok(list, " "); n != NULL; n = strtok(NULL, " ")) {
            (void)printf("%s %s\n", n, strerror(number(n)));
        }
        exit(0);
    }
    *(void **)&real_readlink = dlsym(RTLD_NEXT, "readlink");
    if (getenv("FAULT_TTY") != NULL) { terminal(getenv("FAULT_TTY")); }
    (void)real_readlink("/proc/self/fd/1", out, sizeof out - 1);
    trace = getenv("FAULT_LOG") ? open(getenv("FAULT_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    armed = 1;
}
