// Preloaded into the tool. FAULT="CALL WHERE ACTION [ARG...] [always]" acts once, on the first call of CALL on WHERE:
// a path as the tool names it (for a descriptor, its file's path from the run's directory, a removed one's too), for
// out a text that the data written holds, * for any, or N for the Nth call of CALL; with always, on each later call of
// CALL too, until one is on another path than the first. CALL: access, mkdir, open, diropen (of a directory),
// write, out (a write to stdout), close, fstat, fstatat, unlinkat, sigprocmask, wait (a poll without a time
// limit), poll (one with), or * for any. A fault that never acts says so on stderr at the tool's end.
// ACTION: fail E (errno E, a name such as EIO, or a number); zero (return 0); part N (write at most N bytes); raise
// S... (raise each, then make the call); kill S (another process sends S once the tool sleeps, as in a wait for room);
// sleep N (N seconds, then the call); swap A B (exchange two names first); append TEXT (write TEXT and a newline to
// stdout first). S: a number. A ';' adds another fault, up to four. FAULT_QUIET=1: no word on a fault that never acted.
// FAULT_LOG=FILE gets "CALL WHERE" for each call. FAULT_TTY=1 makes stdout a terminal whose output reaches the first
// stdout. FAULT_STRERROR=N... prints "NAME TEXT" for each errno name below and "N TEXT" for each N, in the C library's
// words and numbers (they differ between targets and libraries), and exits.
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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kFaults = 4 };
static int armed, log_fd = -1;             // whether the tool's calls count (the library's own do not); FAULT_LOG
static long seen[kFaults], fired[kFaults]; // calls of each fault's kind, and whether it acted
static char stuck[kFaults][4096];          // where an always fault acts
static int loose[kFaults];                 // whether it met a call elsewhere since: then it acts no more
static char top[4096];                     // where the run started
static char out[4096];                     // what stdout was then

static int is(const char *a, const char *b) { return strcmp(a, b) == 0; }
static int number(const char *s) { return (int)strtol(s, NULL, 10); }

// The errnos that rows name, as this C library numbers them.
struct errno_name {
    const char *name;
    int value;
};
// clang-format off
#define E(name) {#name, name}
static const struct errno_name errnos[] = {E(EACCES), E(EAGAIN), E(EBUSY), E(EDQUOT), E(EEXIST), E(EFBIG), E(EINTR),
    E(EINVAL), E(EIO), E(EMFILE), E(ENAMETOOLONG), E(ENFILE), E(ENOENT), E(ENOMEM), E(ENOSPC), E(ENOSYS), E(ENOTDIR),
    E(EPERM), E(EROFS)};
#undef E
// clang-format on
static int error(const char *s)
{
    for (size_t i = 0; i < sizeof errnos / sizeof errnos[0]; ++i) {
        if (is(s, errnos[i].name)) { return errnos[i].value; }
    }
    if (s[0] < '0' || s[0] > '9') { _exit(99); } // a name not in the table: the row is wrong
    return number(s);
}

// The path of fd's file, from where the run started where it is below it; whole holds all of it.
static char whole[4096];
static const char *fd_path(int fd)
{
    char proc[32];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(proc, whole, sizeof whole - 1);
    whole[n > 0 ? n : 0] = '\0';
    const char *const gone = " (deleted)"; // the file was removed: its name is the one it had
    const size_t g = strlen(gone);
    if (n > (ssize_t)g && is(whole + n - g, gone)) { whole[n - g] = '\0'; }
    const size_t k = strlen(top);
    return strncmp(whole, top, k) == 0 && whole[k] == '/' ? whole + k + 1 : whole;
}

// The path of name in the directory that dir holds.
static const char *at_path(int dir, const char *name)
{
    static char at[sizeof whole + 256];
    (void)snprintf(at, sizeof at, "%s/%s", fd_path(dir), name);
    return at;
}

// Starts one of the host's programs, without environment or the preload, its stdin in, its stdout out (or the
// first stdout), its stderr gone.
static void spawn(char *argv[], int in, int out)
{
    posix_spawn_file_actions_t files;
    pid_t pid;
    if (posix_spawn_file_actions_init(&files) != 0 || (in >= 0 && posix_spawn_file_actions_adddup2(&files, in, 0)) ||
        (out >= 0 && posix_spawn_file_actions_adddup2(&files, out, 1)) ||
        posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0) ||
        posix_spawn(&pid, argv[0], &files, NULL, argv, (char *[]){NULL}) != 0) {
        _exit(99);
    }
    (void)posix_spawn_file_actions_destroy(&files);
}

// What an action does before the call; its own calls are not the tool's.
static void act(const char *action, int n, char arg[][256])
{
    for (int i = 0; i < n && is(action, "raise"); ++i) { (void)raise(number(arg[i])); }
    if (is(action, "kill")) {
        const int pid = (int)getpid();
        char cmd[512];
        (void)snprintf(cmd, sizeof cmd,
                       "until grep -q '^State:.S' /proc/%d/status || ! [ -e /proc/%d ]; do :; done; "
                       "kill -%d %d",
                       pid, pid, number(arg[0]), pid);
        const int none = open("/dev/null", O_WRONLY | O_CLOEXEC); // the pipe is the tool's alone
        spawn((char *[]){"/bin/sh", "-c", cmd, NULL}, -1, none);
        (void)close(none);
    }
    if (is(action, "swap")) { (void)syscall(SYS_renameat2, AT_FDCWD, arg[0], AT_FDCWD, arg[1], 2 /* EXCHANGE */); }
    if (is(action, "append")) { (void)dprintf(1, "%s\n", arg[0]); }
    if (is(action, "sleep")) { (void)sleep((unsigned)number(arg[0])); }
}

// Whether a fault's WHERE names this call: its place, the Nth call of its kind, or text in the data written; for an
// always fault that acted, the place it acted on.
static int placed(int k, int always, const char *place, const char *where, const void *data, size_t size)
{
    if (fired[k]) {
        loose[k] |= !is(stuck[k], where);
        return always && !loose[k];
    }
    if (place[0] >= '0' && place[0] <= '9') { return ++seen[k] == number(place); }
    if (data != NULL) { return is(place, "*") || memmem(data, size, place, strlen(place)) != NULL; }
    return is(place, "*") || is(place, where);
}

// What the tool's call does, once each fault placed on it has acted: 0 the real call, 1 fail with errno set,
// 2 return 0, or N + 3 the real call on at most N bytes.
static long hit(const char *name, const char *where, const void *data, size_t size)
{
    const char *f = armed ? getenv("FAULT") : NULL;
    long does = 0;
    if (armed && log_fd >= 0) { (void)dprintf(log_fd, "%s %s\n", name, where); }
    for (int k = 0; k < kFaults && f != NULL; ++k, f = strchr(f, ';') != NULL ? strchr(f, ';') + 1 : NULL) {
        char call[16];
        char place[256];
        char action[16];
        char arg[3][256] = {"", "", ""};
        const char *const words = " %15s %255s %15s %255[^ ;] %255[^ ;] %255[^ ;]";
        int n = sscanf(f, words, call, place, action, arg[0], arg[1], arg[2]);
        const int always = n > 3 && is(arg[n - 4], "always");
        n -= always;
        if (n < 3 || !(is(call, "*") || is(call, name)) || !placed(k, always, place, where, data, size)) { continue; }
        if (!fired[k]) { (void)snprintf(stuck[k], sizeof stuck[k], "%s", where); }
        fired[k] = 1;
        armed = 0;
        act(action, n - 3, arg);
        armed = 1;
        if (is(action, "fail")) { errno = error(arg[0]); }
        does = is(action, "fail") ? 1 : is(action, "zero") ? 2 : is(action, "part") ? number(arg[0]) + 3 : does;
    }
    return does;
}

// Makes stdout a terminal; cat copies what it shows to the first stdout until the tool's end closes it.
static void terminal(void)
{
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int s = m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0 ? open(ptsname(m), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (s < 0) { _exit(99); }
    spawn((char *[]){"/bin/cat", NULL}, m, -1);
    if (dup2(s, 1) < 0 || close(s) != 0 || close(m) != 0) { _exit(99); }
}

// Says which fault never acted: a row whose fault names a call that the tool does not make proves nothing.
__attribute__((destructor)) static void end(void)
{
    const char *f = armed && getenv("FAULT_QUIET") == NULL ? getenv("FAULT") : NULL;
    for (int k = 0; k < kFaults && f != NULL; ++k, f = strchr(f, ';') != NULL ? strchr(f, ';') + 1 : NULL) {
        if (!fired[k]) { (void)dprintf(2, "fault never acted: %.*s\n", (int)strcspn(f, ";"), f); }
    }
}

__attribute__((constructor)) static void start(void)
{
    char *list = getenv("FAULT_STRERROR");
    if (list != NULL) {
        for (size_t i = 0; i < sizeof errnos / sizeof errnos[0]; ++i) {
            (void)printf("%s %s\n", errnos[i].name, strerror(errnos[i].value));
        }
        for (char *n = strtok(list, " "); n != NULL; n = strtok(NULL, " ")) {
            (void)printf("%s %s\n", n, strerror(number(n)));
        }
        exit(0);
    }
    if (getenv("FAULT_TTY") != NULL) { terminal(); }
    (void)fd_path(1);
    (void)strcpy(out, whole);
    if (getcwd(top, sizeof top) == NULL) { top[0] = '\0'; }
    log_fd = getenv("FAULT_LOG") ? open(getenv("FAULT_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    armed = 1;
}

// clang-format off
// The real call's lookup is not the tool's call.
#define REAL(name) static __typeof__(name) *next; \
    if (next == NULL) { const int was = armed; armed = 0; *(void **)&next = dlsym(RTLD_NEXT, #name); armed = was; }
#define PASS(name, where, ...) REAL(name) const long h_ = hit(#name, where, NULL, 0); \
    return h_ == 0 ? next(__VA_ARGS__) : h_ == 1 ? -1 : 0;
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name): our parameters need not be named as libc's are
int access(const char *path, int mode) { PASS(access, path, path, mode) }
int mkdir(const char *path, mode_t mode) { PASS(mkdir, path, path, mode) }
int sigprocmask(int how, const sigset_t *set, sigset_t *old) { PASS(sigprocmask, "", how, set, old) }
int close(int fd) { PASS(close, fd_path(fd), fd) }
int poll(struct pollfd *p, nfds_t n, int timeout)
{
    REAL(poll) return hit(timeout < 0 ? "wait" : "poll", "", NULL, 0) ? -1 : next(p, n, timeout);
}
int unlinkat(int dir, const char *name, int flags) { PASS(unlinkat, at_path(dir, name), dir, name, flags) }
ssize_t write(int fd, const void *data, size_t size)
{
    const char *path = fd_path(fd);
    const int std = out[0] != '\0' && is(whole, out);
    REAL(write)
    const long h = hit(std ? "out" : "write", std ? "stdout" : path, std ? data : NULL, size);
    if (h == 1 || h == 2) { return h == 1 ? -1 : 0; }
    return next(fd, data, h > 2 && (size_t)h - 3 < size ? (size_t)h - 3 : size);
}
#define STAT(name, st) int name(int fd, struct st *s) { \
    REAL(name) return hit("fstat", fd_path(fd), NULL, 0) ? -1 : next(fd, s); }
#define STATAT(name, st) int name(int dir, const char *name_, struct st *s, int flags) { \
    REAL(name) return hit("fstatat", at_path(dir, name_), NULL, 0) ? -1 : next(dir, name_, s, flags); }
#define OPEN(name) int name(const char *path, int flags, ...) { va_list ap; va_start(ap, flags); \
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0; va_end(ap); REAL(name) \
    return hit(flags & O_DIRECTORY ? "diropen" : "open", path, NULL, 0) ? -1 : next(path, flags, mode); }
STAT(fstat, stat) STATAT(fstatat, stat) OPEN(open)
#ifdef __GLIBC__ // and the large-file names that 32-bit builds take
STAT(fstat64, stat64) STATAT(fstatat64, stat64) OPEN(open64)
#endif
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
    
