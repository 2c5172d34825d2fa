// mkfichier: make sure each directory given exists, then create one numbered
// file in it, never overwriting anything. Every outcome goes to stdout, one
// report per argument; the exit status is always 0. Nothing here allocates
// or throws, and only libc is linked. A signal handler only records the
// signal: the main flow acts on it between arguments and in its one wait.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0666;
constexpr int kProbe = R_OK | W_OK;

// A file name is at most "fichier_" and the ten digits of an int.
constexpr size_t kNameMax = 64;

// Reports wait in g_out and go out in pieces: runs of whole reports of at
// most PIPE_BUF bytes, which a pipe takes whole or not at all. A longer
// report (an argument may be 128 KiB) is a piece of its own. Whatever is
// pending when an argument is done, there is room for the next report.
constexpr int kArgMax = 128 * 1024;
constexpr int kFlushAt = 64 * 1024;
char g_out[kFlushAt + 2 * kArgMax];
int g_ends[kFlushAt / 16 + 2]; // where each report ends; none is shorter than 16 bytes
int g_reports;                 // reports in g_out
int g_next;                    // the first report not all written
int g_sent;                    // bytes of g_out written
bool g_gone;                   // stdout failed: reports are dropped, the work goes on

// How stdout is written without waiting for its reader: with RWF_NOWAIT where
// the kernel takes it (pipes, sockets), else through a description of its own,
// non-blocking, opened for each write (terminals, FIFOs); a file has no reader.
bool g_seekable; // a file or a disk, written at the caller's offset
bool g_nowait;   // RWF_NOWAIT is still to be tried
bool g_reopen;   // opened again, it is the same file

// The first signal that ends the run, and whether another came after it.
volatile sig_atomic_t g_caught;
volatile sig_atomic_t g_again;

int Pending() { return g_reports > 0 ? g_ends[g_reports - 1] : 0; }

// Blocks every signal; returns the mask to put back.
sigset_t BlockAll()
{
    sigset_t all;
    sigset_t old;
    (void)sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &old);
    return old;
}

ssize_t OutWrite(const char *buf, const size_t size)
{
#ifdef RWF_NOWAIT
    iovec v{const_cast<char *>(buf), size};
    const ssize_t n = g_nowait ? pwritev2(STDOUT_FILENO, &v, 1, -1, RWF_NOWAIT) : -1;
    if (g_nowait && (n >= 0 || errno != EOPNOTSUPP)) {
        return n;
    }
#endif
    g_nowait = false;
    // Where it cannot be opened (another user's, no /proc), the write may wait.
    const int fd = g_reopen ? open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    const ssize_t written = write(fd >= 0 ? fd : STDOUT_FILENO, buf, size);
    const int err = errno;
    if (fd >= 0) {
        (void)close(fd);
    }
    errno = err;
    return written;
}

// A short write to a regular file (a size limit, a full disk) left the first
// n bytes of a report: cut them off again, unless something follows them.
int TakeBack(const int n)
{
    struct stat st {};
    const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    return end >= n && fstat(STDOUT_FILENO, &st) == 0 && st.st_size == end ? ftruncate(STDOUT_FILENO, end - n) : -1;
}

// Writes what it can, without waiting, of the reports from byte g_sent on:
// as many whole ones as PIPE_BUF bytes hold, or the rest of a longer one.
// A failure, no progress or a short write to a file give up the rest.
ssize_t PieceWrite()
{
    int last = g_next;
    while (last + 1 < g_reports && g_ends[last + 1] - g_sent <= PIPE_BUF) {
        ++last;
    }
    const int size = g_ends[last] - g_sent;
    const ssize_t n = OutWrite(g_out + g_sent, static_cast<size_t>(size));
    const int end = g_sent + static_cast<int>(n);
    while (n > 0 && g_next < g_reports && g_ends[g_next] <= end) {
        g_sent = g_ends[g_next++];
    }
    if (n >= 0 && n < size && g_seekable) {
        (void)TakeBack(end - g_sent); // the whole reports that went out stay
        g_gone = true;
    } else if (n > 0) {
        g_sent = end;
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        g_gone = true;
    }
    return n;
}

// Writes out the pending reports and empties the buffer, unless a signal
// came. Where stdout has no room, it waits in ppoll, signals blocked up to
// it: one that came before the wait is seen, one that comes during it ends it.
void Flush()
{
    while (g_sent < Pending() && !g_gone && g_caught == 0) {
        if (PieceWrite() < 0 && errno == EAGAIN) {
            const sigset_t open = BlockAll();
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            g_gone = g_caught == 0 && ppoll(&p, 1, nullptr, &open) < 0 && errno != EINTR;
            (void)sigprocmask(SIG_SETMASK, &open, nullptr);
        }
    }
    if (g_caught == 0) {
        g_reports = g_next = g_sent = 0;
    }
}

// Ends the run by sig as if it had not been caught, once stdout has taken
// what it takes of the pending reports without waiting; exits 128 + sig
// where sig cannot be delivered, as to the first process of a PID namespace.
[[noreturn]] void Quit(const int sig)
{
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    while (g_sent < Pending() && !g_gone && poll(&p, 1, 0) == 1 && PieceWrite() > 0) {
    }
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    _exit(128 + sig); // cppcheck-suppress unreachableCode
}

// The signals that the system raises for a fault of the program itself;
// those whose default action does not end a process, and those the tool
// ignores so as to report a failed write instead (SIGPIPE, SIGXFSZ).
constexpr std::array kFaults{SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT};
constexpr std::array kSpared{SIGKILL, SIGSTOP, SIGTSTP,  SIGTTIN, SIGTTOU, SIGCHLD,
                             SIGCONT, SIGURG,  SIGWINCH, SIGPIPE, SIGXFSZ};

// Records the first signal for the main flow to act on, and that another
// came. A fault of the program's own (a bad access, its own abort) gets its
// default action at once instead.
void OnSignal(const int sig, siginfo_t *info, void * /*context*/)
{
    if (std::find(kFaults.begin(), kFaults.end(), sig) != kFaults.end() &&
        (info->si_code > 0 || info->si_pid == getpid())) {
        (void)signal(sig, SIG_DFL);
        (void)raise(sig);
    } else if (g_caught == 0) {
        g_caught = sig;
    } else {
        g_again = 1;
    }
}

// Catches every signal but the spared ones and those that the caller
// ignores (nohup, background jobs): they are blocked while the handlers go
// in, and an ignored one is set back to ignored, dropping it if it came.
void CatchSignals()
{
    const sigset_t saved = BlockAll();
    struct sigaction act {};
    act.sa_sigaction = OnSignal;
    act.sa_flags = SA_SIGINFO;
    (void)sigfillset(&act.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        const bool spared = std::find(kSpared.begin(), kSpared.end(), sig) != kSpared.end();
        if (!spared && sigaction(sig, &act, &old) == 0 && old.sa_handler == SIG_IGN) {
            (void)sigaction(sig, &old, nullptr);
        }
    }
    (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
}

void Report(const std::initializer_list<std::string_view> parts)
{
    int end = Pending();
    for (const std::string_view p : parts) {
        end += static_cast<int>(p.copy(g_out + end, p.size()));
    }
    g_ends[g_reports++] = end;
}

// GNU's strerror_r returns the text, the XSI one (musl) writes it in buf.
// Neither allocates, as strerror does for an errno that libc does not know.
[[maybe_unused]] const char *ErrorText(const char *text, const char * /*buf*/) { return text; }
[[maybe_unused]] const char *ErrorText(int /*status*/, const char *buf) { return buf; }

void ReportFailure(const char *what, const char *path, const int err)
{
    char buf[64] = "";
    Report({what, path, "\"\n\t", ErrorText(strerror_r(err, buf, sizeof buf), buf), "\n"});
}

// Cuts a string at end for as long as it lives, then puts the byte back:
// each level of a path is used in place, without copies.
struct Cut {
    Cut(char *s, const size_t end) : at(s + end), kept(*at) { *at = '\0'; }
    Cut(const Cut &) = delete;
    Cut &operator=(const Cut &) = delete;
    ~Cut() { *at = kept; }
    char *at;
    char kept;
};

// The end of the parent level of path[0, end): past the '/' before the last
// level (one trailing '/' skipped), 1 for the root, 0 for the current
// directory (":x" too: index 0 is not scanned), -1 where a ':' stops the walk.
int ParentEnd(const char *path, const int end)
{
    int k = end - (path[end - 1] == '/' ? 2 : 1);
    while (k > 0 && path[k] != ':' && path[k] != '/') {
        --k;
    }
    if (k <= 0) {
        return path[0] == '/' ? 1 : 0;
    }
    return path[k] == ':' ? -1 : k + 1;
}

int Probe(char *path, const int end)
{
    const Cut cut(path, static_cast<size_t>(end));
    return access(end > 0 ? path : "./", kProbe);
}

// A level made meanwhile by a parallel run, or already made under another
// spelling (a//, x/./), is as good as made if it can be used.
int LevelCreate(char *path, const int end)
{
    const Cut cut(path, static_cast<size_t>(end));
    const int err = mkdir(path, kDirMode) == 0 ? 0 : errno;
    if (err == EEXIST && access(path, kProbe) == 0) {
        return 0;
    }
    errno = err;
    return err == 0 ? 0 : -1;
}

// Makes sure path exists and that the real user may read and write it:
// probes it and its parents upward until one level passes, then creates the
// missing levels on the way back down, mode 0700. Returns 0, or -1 and errno.
int TreeDirCreate(char *path)
{
    const int n = static_cast<int>(strlen(path));
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }
    int end = n;
    while (Probe(path, end) != 0) {
        // Past the current directory or the root there is nothing to fall
        // back on; a ':' stops the walk with the probe's ENOENT.
        if (errno != ENOENT || end == 0 || (end == 1 && path[0] == '/')) {
            return -1;
        }
        end = ParentEnd(path, end);
        if (end < 0) {
            return -1;
        }
    }
    // Back down the levels, each up to and past its '/', the last to the end.
    while (end < n) {
        const void *const slash = memchr(path + end, '/', static_cast<size_t>(n - end));
        end = slash != nullptr ? static_cast<int>(static_cast<const char *>(slash) - path) + 1 : n;
        if (LevelCreate(path, end) != 0) {
            return -1;
        }
    }
    return 0;
}

// Writes all of line, going on after short writes and interruptions. A
// write that makes no progress would loop for ever: take it for a full
// disk, as careful tools do. A write interrupted after a second signal is
// given up: it hangs, and the user has asked twice.
int WriteAll(const int fd, std::string_view line)
{
    while (!line.empty()) {
        const ssize_t n = write(fd, line.data(), line.size());
        if (n > 0) {
            line.remove_prefix(static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR || g_again != 0) {
            errno = n == 0 ? ENOSPC : errno;
            return -1;
        }
    }
    return 0;
}

// Opens, without reading it, the directory that holds file; base is the
// file's name in it.
int DirOpen(char *file, const char **base)
{
    char *const slash = strrchr(file, '/');
    *base = slash != nullptr ? slash + 1 : file;
    const Cut cut(file, static_cast<size_t>(*base - file));
    return open(slash != nullptr ? file : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Removes the file that fd holds, which this run made and could not finish,
// from where the system says it now is, else (out of reach) where it was
// made, only if the entry there is still this very file. fd stays open so
// that no other file can take its inode number, unless no descriptor is
// left for the directory. Signals wait meanwhile.
void FileDiscard(int fd, char *file)
{
    const sigset_t saved = BlockAll();
    char link[32];
    char where[PATH_MAX];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, where, sizeof where - 1);
    where[n > 0 ? n : 0] = '\0';
    const char *base = nullptr;
    const auto dir_open = [&] {
        const int dir = DirOpen(where[0] == '/' ? where : file, &base);
        return dir >= 0 || errno == EMFILE || errno == ENFILE || where[0] != '/' ? dir : DirOpen(file, &base);
    };
    struct stat mine {};
    int dir = fstat(fd, &mine) == 0 && mine.st_nlink > 0 ? dir_open() : -1;
    if (dir < 0 && (errno == EMFILE || errno == ENFILE)) {
        (void)close(fd);
        fd = -1;
        dir = dir_open();
    }
    struct stat st {};
    if (dir >= 0 && fstatat(dir, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mine.st_dev &&
        st.st_ino == mine.st_ino) {
        (void)unlinkat(dir, base, 0);
    }
    (void)close(dir);
    (void)close(fd);
    (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// Writes out the reports if asked to, then ends the run if a signal came.
void Settle(const bool flush)
{
    if (flush) {
        Flush();
    }
    if (g_caught != 0) {
        Quit(g_caught);
    }
}

// Does all the work for one argument and adds its one report.
void FileCreate(char *path, const char *name)
{
    if (TreeDirCreate(path) != 0) {
        ReportFailure(" Error : Cannot use the path \"", path, errno);
        return;
    }
    // A path that passed the probe is shorter than PATH_MAX.
    char file[PATH_MAX + kNameMax];
    (void)snprintf(file, sizeof file, "%s%s", path, name);
    char line[kNameMax + 32];
    const int len = snprintf(line, sizeof line, " je suis le fichier %s\n", name);

    // O_EXCL makes the existence test and the creation one step: nothing that
    // appears meanwhile is truncated, no symlink at this name is followed.
    const int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0 && errno == EEXIST) {
        Report({" File \"", file, "\" is already existing.\n"});
    } else if (fd >= 0 && WriteAll(fd, std::string_view(line, static_cast<size_t>(len))) != 0) {
        const int err = errno;
        FileDiscard(fd, file);
        ReportFailure(" error: Cannot creat the file \"", file, err);
    } else if (fd < 0 || close(fd) != 0) {
        // Only network filesystems fail to close. With fd gone, nothing tells
        // this file from one put at its name since: it is left, not risked.
        ReportFailure(" error: Cannot creat the file \"", file, errno);
    } else {
        Report({" File \"", file, "\" is created.\n"});
    }
}

} // namespace

int main(const int argc, char **argv)
{
    CatchSignals();
    // Like stdio: a terminal sees each report at once.
    const bool tty = isatty(STDOUT_FILENO) != 0;
    struct stat st {};
    g_seekable = fstat(STDOUT_FILENO, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    g_nowait = !g_seekable;
    // /dev/tty, /dev/console and /dev/ptmx (major 5) open another terminal.
    g_reopen = S_ISFIFO(st.st_mode) || (tty && major(st.st_rdev) != 5);
    char name[kNameMax];
    for (int i = 1; i < argc; ++i) {
        (void)snprintf(name, sizeof name, "fichier_%02d", i);
        // A signal that came meanwhile waits for this argument's file.
        FileCreate(argv[i], name);
        Settle(tty || Pending() >= kFlushAt);
    }
    Settle(true);
    return 0;
}
