// mkfichier: make sure each directory given exists, then create one numbered file in
// it, never overwriting; one report per argument on stdout, exit status 0. Nothing
// allocates or throws; a signal handler only records: the main flow acts on it.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0666;
constexpr int kProbe = R_OK | W_OK;
constexpr size_t kNameMax = 64; // "fichier_" and the digits of an int

// Reports go out in pieces of whole ones of at most PIPE_BUF bytes, a pipe's atom.
struct State {
    char buf[PIPE_BUF];
    size_t ends[PIPE_BUF / 16];   // where each report in buf ends (none is under 16 bytes)
    size_t len;                   // bytes in buf
    size_t sent;                  // of those, the ones written
    size_t reports;               // reports ended in buf
    size_t done;                  // of those, the ones written whole
    off_t part;                   // bytes written of the first report not written whole
    bool file;                    // a regular file: a report cut short is cut off again
    bool sock;                    // a socket, written with send(), which never waits
    bool one;                     // stdout takes one report a write
    bool gone;                    // stdout failed: reports are dropped, the work goes on
    sigset_t mask;                // the caller's signal mask
    volatile sig_atomic_t caught; // the first signal that ends the run
    volatile sig_atomic_t again;  // another came after it
} g;

// The job first; its reports and the signals after it.
void Report(std::initializer_list<const char *> parts);
void ReportFailure(const char *what, const char *path, int err);

// Cuts a string at end while it lives: each level of a path is used in place.
struct Cut {
    Cut(char *s, const size_t end) : at(s + end), kept(*at) { *at = '\0'; }
    ~Cut() { *at = kept; }
    char *at;
    char kept;
};

// The end of path[0, end)'s parent, past its '/' (one trailing '/' skipped): 1 for
// the root, 0 for "./" (":x" too), -1 past those or where a ':' stops the walk.
int ParentEnd(const char *path, const int end)
{
    if (end == 0 || (end == 1 && path[0] == '/')) { return -1; }
    int k = end - (path[end - 1] == '/' ? 2 : 1);
    while (k > 0 && path[k] != ':' && path[k] != '/') { --k; }
    if (k <= 0) { return path[0] == '/' ? 1 : 0; }
    return path[k] == ':' ? -1 : k + 1;
}

// Makes sure path exists, usable by the real user: probes up to the first level that
// passes, then creates the rest downward. 0, or -1 and errno.
int TreeDirCreate(char *path)
{
    const int n = static_cast<int>(strlen(path));
    const auto probe = [path](const int end) {
        const Cut cut(path, static_cast<size_t>(end));
        return access(end > 0 ? path : "./", kProbe);
    };
    if (n == 0) { return access(path, kProbe); } // fails, with ENOENT
    int end = n;
    while (probe(end) != 0) {
        end = errno == ENOENT ? ParentEnd(path, end) : -1;
        if (end < 0) { return -1; }
    }
    // Back down, each level up to and past its '/'. One made meanwhile (a parallel
    // run, a//, x/./) is as good as made if it can be used.
    while (end < n) {
        for (++end; end < n && path[end - 1] != '/'; ++end) {}
        const Cut cut(path, static_cast<size_t>(end));
        const int err = mkdir(path, kDirMode) == 0 ? 0 : errno;
        if (err != 0 && (err != EEXIST || access(path, kProbe) != 0)) {
            errno = err;
            return -1;
        }
    }
    return 0;
}

// Writes all of s; no progress is a full disk, a hung write is given up at a second signal.
int WriteAll(const int fd, const char *s, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, s, size);
        if (n > 0) {
            s += n;
            size -= static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR || g.again != 0) {
            errno = n == 0 ? ENOSPC : errno;
            return -1;
        }
    }
    return 0;
}

// Opens, without reading it, the directory that holds file, named base there.
int DirOpen(char *file, const char **base)
{
    char *const slash = strrchr(file, '/');
    *base = slash != nullptr ? slash + 1 : file;
    const Cut cut(file, static_cast<size_t>(*base - file));
    return open(slash != nullptr ? file : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Removes the file that fd holds, if its entry is still this very file. fd stays
// open, so that no other file takes its inode number, unless no descriptor is left.
void FileDiscard(int fd, char *file)
{
    sigset_t all;
    sigset_t old;
    const bool held = sigfillset(&all) == 0 && sigprocmask(SIG_BLOCK, &all, &old) == 0; // signals wait
    struct stat mine {};
    struct stat st {};
    const char *base = nullptr;
    (void)fstat(fd, &mine); // where it fails, no entry matches a zero inode
    int dir = DirOpen(file, &base);
    if (dir < 0 && (errno == EMFILE || errno == ENFILE)) {
        (void)close(fd);
        fd = -1;
        dir = DirOpen(file, &base);
    }
    if (dir >= 0 && fstatat(dir, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mine.st_dev &&
        st.st_ino == mine.st_ino) {
        (void)unlinkat(dir, base, 0);
    }
    (void)close(dir);
    (void)close(fd);
    (void)(held && sigprocmask(SIG_SETMASK, &old, nullptr) == 0);
}

// Does all the work for one argument and adds its one report.
void FileCreate(char *path, const char *name)
{
    if (TreeDirCreate(path) != 0) {
        ReportFailure(" Error : Cannot use the path \"", path, errno);
        return;
    }
    // A path that passed the probe is shorter than PATH_MAX; O_EXCL truncates nothing.
    char file[PATH_MAX + kNameMax];
    (void)snprintf(file, sizeof file, "%s%s", path, name);
    char line[kNameMax + 32];
    const int len = snprintf(line, sizeof line, " je suis le fichier %s\n", name);
    const int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0 && errno == EEXIST) {
        Report({" File \"", file, "\" is already existing.\n"});
    } else if (fd >= 0 && WriteAll(fd, line, static_cast<size_t>(len)) != 0) {
        const int err = errno;
        FileDiscard(fd, file);
        ReportFailure(" error: Cannot creat the file \"", file, err);
    } else if (fd < 0 || close(fd) != 0) {
        // Only network filesystems fail to close; with fd gone, the file is left.
        ReportFailure(" error: Cannot creat the file \"", file, errno);
    } else {
        Report({" File \"", file, "\" is created.\n"});
    }
}

// Writes a piece of the reports, with send() to a socket; where it is refused, write() but on the way out.
ssize_t PieceWrite(const size_t size)
{
    const bool sock = g.sock;
    const ssize_t sent = sock ? send(STDOUT_FILENO, g.buf + g.sent, size, MSG_DONTWAIT | MSG_NOSIGNAL) : -1;
    g.sock = sock && (sent >= 0 || errno == EAGAIN || errno == EINTR);
    const ssize_t n = g.sock || (sock && g.caught != 0) ? sent : write(STDOUT_FILENO, g.buf + g.sent, size);
    g.sent += n > 0 ? static_cast<size_t>(n) : 0;
    g.part += n > 0 ? n : 0;
    for (; g.done < g.reports && g.ends[g.done] <= g.sent; ++g.done) {
        g.part = static_cast<off_t>(g.sent - g.ends[g.done]);
    }
    return n;
}

// Cuts off a file what a short write left of a report, but where something follows.
void TakeBack()
{
    struct stat st {};
    const off_t end = g.file && g.part > 0 ? lseek(STDOUT_FILENO, 0, SEEK_CUR) : -1;
    if (end >= g.part && fstat(STDOUT_FILENO, &st) == 0 && st.st_size == end &&
        ftruncate(STDOUT_FILENO, end - g.part) == 0) {
        (void)lseek(STDOUT_FILENO, end - g.part, SEEK_SET); // the next writer leaves no hole
    }
}

// Writes out the reports, waiting for room, or once a signal came what stdout takes;
// a failure, no progress or a short write to a file give them up.
void Flush()
{
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    while (g.sent < g.len && !g.gone && (g.caught == 0 || poll(&p, 1, 0) != 0)) {
        const size_t size = (g.one && g.done < g.reports ? g.ends[g.done] : g.len) - g.sent;
        const ssize_t n = PieceWrite(size);
        if (n < 0 && errno == EAGAIN && g.caught == 0) {
            (void)poll(&p, 1, 100); // a signal ends it; one that came just before it, after 0.1 s
        } else if (n < 0 && errno == EINVAL && !g.one && g.reports - g.done > 1) {
            g.one = true; // a device that takes one record a write, as /dev/kmsg
        } else if (n == 0 || (n < 0 && errno != EINTR) || (g.file && static_cast<size_t>(n) < size)) {
            TakeBack();
            g.gone = true;
        }
    }
    g.gone = g.gone || g.sent < g.len; // none is written after one dropped
    g.len = g.sent = g.reports = g.done = 0;
}

void Report(const std::initializer_list<const char *> parts)
{
    size_t size = 0;
    for (const char *p : parts) { size += strlen(p); }
    if (g.len + size > sizeof g.buf) { Flush(); }
    for (const char *p : parts) {
        for (size_t left = strlen(p), k = 0; left > 0; p += k, left -= k, g.len += k) {
            if (g.len == sizeof g.buf) { Flush(); }
            k = std::min(left, sizeof g.buf - g.len);
            memcpy(g.buf + g.len, p, k);
        }
    }
    g.ends[g.reports++] = g.len;
}

// GNU's strerror_r returns its text, XSI's (musl) fills buf; neither allocates.
[[maybe_unused]] const char *ErrorText(const char *text, const char * /*buf*/) { return text; }
[[maybe_unused]] const char *ErrorText(int /*status*/, const char *buf) { return buf; }

void ReportFailure(const char *what, const char *path, const int err)
{
    char buf[64] = "";
    Report({what, path, "\"\n\t", ErrorText(strerror_r(err, buf, sizeof buf), buf), "\n"});
}

// Writes out the reports if asked to (a terminal sees each at once); once a signal came, ends by it.
void Settle(const bool flush)
{
    if (flush || g.caught != 0) { Flush(); }
    if (g.caught == 0) { return; }
    (void)signal(g.caught, SIG_DFL);
    (void)raise(g.caught);
    _exit(128 + g.caught); // cppcheck-suppress unreachableCode
}

bool In(std::initializer_list<int> set, int sig) { return std::find(set.begin(), set.end(), sig) != set.end(); }

// Records the first signal, after which a job on a `stty tostop` terminal writes
// instead of stopping, and that another came; the tool's own faults end it at once.
void OnSignal(const int sig, siginfo_t *info, void * /*context*/)
{
    if (In({SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT}, sig) &&
        (info->si_code > 0 || info->si_pid == getpid())) {
        (void)signal(sig, SIG_DFL);
        (void)raise(sig);
    } else if (g.caught == 0) {
        g.caught = sig;
        (void)signal(SIGTTOU, SIG_IGN);
    } else {
        g.again = 1;
    }
}

// Catches the signals from..to-1 that end a process but SIGPIPE and SIGXFSZ (ignored, else blocked: a failed
// write is reported) and those the caller ignores (nohup), dropped if one came meanwhile. Real-time signals not
// yet caught wait, blocked: their thirty handlers are worth a second argument; a run of one ends by one.
void CatchSignals(const int from, const int to)
{
    sigset_t all;
    sigset_t mask;
    const bool held = sigfillset(&all) == 0 && sigprocmask(SIG_BLOCK, &all, &mask) == 0;
    g.mask = from == 1 && held ? mask : g.mask;
    struct sigaction act {};
    act.sa_sigaction = OnSignal;
    act.sa_flags = SA_SIGINFO;
    (void)sigfillset(&act.sa_mask);
    for (int sig = from; sig < to; ++sig) {
        struct sigaction old {};
        const bool spared = In(
            {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGPIPE, SIGXFSZ}, sig);
        if (In({SIGPIPE, SIGXFSZ}, sig) && signal(sig, SIG_IGN) == SIG_ERR) { (void)sigaddset(&g.mask, sig); }
        if (!spared && sigaction(sig, &act, &old) == 0 && old.sa_handler == SIG_IGN) {
            (void)sigaction(sig, &old, nullptr);
        }
    }
    mask = g.mask;
    for (int sig = to; sig <= SIGRTMAX; ++sig) { (void)sigaddset(&mask, sig); }
    (void)(held && sigprocmask(SIG_SETMASK, &mask, nullptr) == 0);
}

// Learns what stdout is; a FIFO or a terminal is opened again, non-blocking, where that gives this very file,
// not major 5 (/dev/tty). Says if it is a terminal.
bool StdoutOpen()
{
    struct stat st {};
    struct stat again {};
    (void)fstat(STDOUT_FILENO, &st); // a closed stdout is of no kind
    const bool tty = isatty(STDOUT_FILENO) != 0;
    g.file = S_ISREG(st.st_mode);
    g.sock = S_ISSOCK(st.st_mode);
    if (!S_ISFIFO(st.st_mode) && (!tty || major(st.st_rdev) == 5)) { return tty; }
    const int fl = fcntl(STDOUT_FILENO, F_GETFL); // where refused, the mode to open it in is unknown
    const int fd = fl < 0 ? -1 : open("/proc/self/fd/1", (fl & O_ACCMODE) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &again) == 0 && again.st_dev == st.st_dev && again.st_ino == st.st_ino) {
        (void)dup2(fd, STDOUT_FILENO);
    }
    (void)close(fd);
    return tty;
}

} // namespace

int main(const int argc, char **argv)
{
    CatchSignals(1, SIGRTMIN);
    const bool tty = StdoutOpen();
    char name[kNameMax];
    for (int i = 1; i < argc; ++i) {
        (void)snprintf(name, sizeof name, "fichier_%02d", i);
        FileCreate(argv[i], name);
        if (i == 1 && argc > 2) { CatchSignals(SIGRTMIN, SIGRTMAX + 1); }
        Settle(tty);
    }
    Settle(true);
    (void)sigprocmask(SIG_SETMASK, &g.mask, nullptr); // a real-time signal that came ends the run here
    Settle(false);
    return 0;
}
