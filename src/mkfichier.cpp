// mkfichier: make sure each directory given exists, then create one
// numbered file in it, never overwriting anything.
//
// Every outcome goes to standard output, one report per argument, and the
// exit status is always 0: scripts read the messages, not the status.
//
// Nothing here allocates or throws, and only libc is linked: the tool
// starts as fast as a C program and cannot fail half-way through an
// argument for want of memory.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
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
// most PIPE_BUF bytes, which a pipe takes whole or not at all, so output
// never stops inside a report. A longer report (an argument may be 128 KiB)
// is a piece of its own. Whatever is pending when an argument is done,
// the buffer still has room for the next one's report.
constexpr int kArgMax = 128 * 1024;
constexpr int kFlushAt = 64 * 1024;
char g_out[kFlushAt + 2 * kArgMax];
// At most two pieces per PIPE_BUF bytes, as two neighbours never fit in one.
std::array<std::atomic<int>, 2 * (kFlushAt / PIPE_BUF) + 4> g_ends; // where each piece ends
std::atomic<int> g_pieces;                                          // pieces in g_out
std::atomic<int> g_sent;                                            // of which written out
std::atomic<bool> g_gone; // stdout failed: reports are dropped, the work goes on

// What the signal handler shares with the main flow.
std::atomic<bool> g_busy;  // a file is being made, or its report added
std::atomic<int> g_caught; // the first end signal, waiting for that file
std::atomic<bool> g_again; // another came meanwhile: give up a hung write
sigset_t g_end_set;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Every signal that a process may catch and whose default action ends it,
// the real-time ones aside; the faults of the program itself are not among
// them.
constexpr std::array kEndSignals{SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,  SIGUSR2,
                                 SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR,  SIGIO,   SIGSTKFLT};

int PieceBegin(const int i) { return i > 0 ? g_ends[i - 1].load() : 0; }
int Pending() { return PieceBegin(g_pieces); }

// Writes piece i to stdout: 0 once it is out whole, else -1 with errno set
// (EAGAIN where a non-blocking stdout had no room for it).
int PieceWrite(const int i)
{
    const int begin = PieceBegin(i);
    const int size = g_ends[i] - begin;
    const ssize_t n = write(STDOUT_FILENO, g_out + begin, static_cast<size_t>(size));
    if (n == size) {
        return 0;
    }
    if (n >= 0) {
        errno = EIO; // the rest cannot follow as whole reports
    }
    return -1;
}

// Writes out the pieces that stdout takes without waiting, then ends the
// process by sig as if it had not been caught.
[[noreturn]] void Die(const int sig)
{
    (void)sigprocmask(SIG_BLOCK, &g_end_set, nullptr);
    for (int i = g_sent; i < g_pieces && !g_gone; ++i) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0 || PieceWrite(i) != 0) {
            break;
        }
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(sig, &dfl, nullptr);
    sigset_t set;
    (void)sigemptyset(&set);
    (void)sigaddset(&set, sig);
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
    (void)raise(sig);
    // Not reached unless the signal could not be raised.
    // cppcheck-suppress unreachableCode
    _exit(128 + sig);
}

// The first end signal decides how the run ends. It waits while a file is
// being made; elsewhere the main flow is never inside a write of reports
// (they happen with the end signals blocked), so it ends the run at once.
// Only atomics are touched before Die, so errno is left as it was.
void OnEndSignal(const int sig)
{
    int none = 0;
    if (!g_caught.compare_exchange_strong(none, sig)) {
        g_again = true;
    }
    if (!g_busy) {
        Die(g_caught);
    }
}

// A failed write is reported like any other failure rather than killing
// the run; a vanished reader of stdout costs the reports, not the work.
// An end signal that the caller ignores (nohup, background jobs) stays
// ignored: it is blocked while the handlers go in, and set back to ignored,
// which drops it if it came meanwhile.
void CatchSignals()
{
    (void)sigemptyset(&g_end_set);
    for (const int sig : kEndSignals) {
        (void)sigaddset(&g_end_set, sig);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        (void)sigaddset(&g_end_set, sig);
    }
    sigset_t saved;
    (void)sigprocmask(SIG_BLOCK, &g_end_set, &saved);
    struct sigaction act {};
    act.sa_handler = OnEndSignal;
    act.sa_mask = g_end_set;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (sigismember(&g_end_set, sig) == 1 && sigaction(sig, &act, &old) == 0 && old.sa_handler == SIG_IGN) {
            (void)sigaction(sig, &old, nullptr);
        }
    }
    (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    (void)sigaction(SIGPIPE, &ign, nullptr);
    (void)sigaction(SIGXFSZ, &ign, nullptr);
}

// Writes out the pending pieces and empties the buffer. The end signals are
// blocked but while waiting for room: one that comes then ends the run with
// nothing half-written, and no write can block, since one comes only when
// stdout has room for a piece.
void Flush()
{
    sigset_t open;
    (void)sigprocmask(SIG_BLOCK, &g_end_set, &open);
    for (int i = 0; i < g_pieces && !g_gone;) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (ppoll(&p, 1, nullptr, &open) < 0) {
            g_gone = errno != EINTR;
            continue;
        }
        if (PieceWrite(i) == 0) {
            g_sent = ++i;
        } else if (errno != EAGAIN) {
            g_gone = true;
        }
    }
    g_pieces = 0;
    g_sent = 0;
    (void)sigprocmask(SIG_SETMASK, &open, nullptr);
}

// Adds one whole report to the last piece, or starts a new one. A signal
// handler sees it only once it is whole.
void Report(const std::initializer_list<std::string_view> parts)
{
    const int pieces = g_pieces;
    int end = Pending();
    for (const std::string_view p : parts) {
        memcpy(g_out + end, p.data(), p.size());
        end += static_cast<int>(p.size());
    }
    if (pieces > 0 && end - PieceBegin(pieces - 1) <= PIPE_BUF) {
        g_ends[pieces - 1] = end;
    } else {
        g_ends[pieces] = end;
        g_pieces = pieces + 1;
    }
}

void ReportCreateFailure(const char *file, const int err)
{
    Report({" error: Cannot creat the file \"", file, "\"\n\t", strerror(err), "\n"});
}

// Cuts a string at end for as long as it lives, then puts the byte back:
// each level of a path is used in place, without copies.
class Cut {
public:
    Cut(char *s, const size_t end) : at_(s + end), kept_(*at_) { *at_ = '\0'; }
    Cut(const Cut &) = delete;
    Cut &operator=(const Cut &) = delete;
    Cut(Cut &&) = delete;
    Cut &operator=(Cut &&) = delete;
    ~Cut() { *at_ = kept_; }

private:
    char *at_;
    char kept_;
};

// The end of the parent level of path[0, end): just past the separator
// before the last level (one trailing '/' skipped), 1 for the root, 0 for
// the current directory, or -1 where a ':' stops the walk. Index 0 is only
// looked at for a leading '/': ":x" has the current directory as parent.
int ParentEnd(const char *path, const int end)
{
    int k = end - 1;
    if (path[k] == '/') {
        --k;
    }
    while (k > 0 && path[k] != ':' && path[k] != '/') {
        --k;
    }
    if (k <= 0) {
        return path[0] == '/' ? 1 : 0;
    }
    return path[k] == ':' ? -1 : k + 1;
}

// The end of the next level below path[0, end), going back down the levels
// that ParentEnd went up: just past the next '/', or the whole path.
int ChildEnd(const char *path, const int end, const int n)
{
    int j = end;
    while (j < n && path[j] != '/') {
        ++j;
    }
    return j < n ? j + 1 : n;
}

int Probe(char *path, const int end)
{
    if (end == 0) {
        return access("./", kProbe);
    }
    const Cut cut(path, static_cast<size_t>(end));
    return access(path, kProbe);
}

int LevelCreate(char *path, const int end)
{
    const Cut cut(path, static_cast<size_t>(end));
    if (mkdir(path, kDirMode) == 0) {
        return 0;
    }
    if (errno != EEXIST) {
        return -1;
    }
    // Made meanwhile by a parallel run, or already made under another
    // spelling (a//, x/./): a level that can be used is all that counts.
    if (access(path, kProbe) == 0) {
        return 0;
    }
    errno = EEXIST;
    return -1;
}

// Makes sure path exists and that the real user may read and write it:
// probes it and its parents upward until one level passes, then creates
// the missing levels on the way back down, each with mode 0700. The path
// is cut in place and restored. Returns 0, or -1 with errno set.
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
        // back on.
        if (errno != ENOENT || end == 0 || (end == 1 && path[0] == '/')) {
            return -1;
        }
        // A ':' stops the walk with the probe's ENOENT.
        end = ParentEnd(path, end);
        if (end < 0) {
            return -1;
        }
    }
    while (end < n) {
        end = ChildEnd(path, end, n);
        if (LevelCreate(path, end) != 0) {
            return -1;
        }
    }
    return 0;
}

// Writes all of line, going on after short writes and interruptions. A
// write that makes no progress would loop for ever: take it for a full
// disk, as careful tools do. A write interrupted after a second end signal
// is given up: it hangs, and the user has asked twice.
int WriteAll(const int fd, std::string_view line)
{
    while (!line.empty()) {
        const ssize_t n = write(fd, line.data(), line.size());
        if (n > 0) {
            line.remove_prefix(static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR || g_again) {
            errno = n == 0 ? ENOSPC : errno;
            return -1;
        }
    }
    return 0;
}

// Removes the file that fd holds, which this run made and could not
// finish. It is looked for where the system says the file now is, else
// where it was made, and removed only if the entry there is still this
// very file. fd is closed first: the directory is then opened with one
// descriptor to spare, and held while checked, so a directory swapped
// for a symlink meanwhile cannot send the removal anywhere else.
void FileDiscard(const int fd, char *file)
{
    char link[32];
    char where[PATH_MAX];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, where, sizeof where - 1);
    struct stat mine {};
    const bool linked = fstat(fd, &mine) == 0 && mine.st_nlink > 0;
    (void)close(fd);
    if (!linked) {
        return;
    }
    if (n > 0 && where[0] == '/') {
        where[n] = '\0';
        file = where;
    }
    char *const slash = strrchr(file, '/');
    constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC; // needs no read permission
    int dir = -1;
    if (slash == nullptr) {
        dir = open(".", kDirFlags);
    } else {
        const Cut cut(slash, 1);
        dir = open(file, kDirFlags);
    }
    if (dir < 0) {
        return;
    }
    const char *const base = slash != nullptr ? slash + 1 : file;
    struct stat st {};
    if (fstatat(dir, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mine.st_dev && st.st_ino == mine.st_ino) {
        (void)unlinkat(dir, base, 0);
    }
    (void)close(dir);
}

// Does all the work for one argument and adds its one report.
void FileCreate(char *path, const char *name)
{
    if (TreeDirCreate(path) != 0) {
        Report({" Error : Cannot use the path \"", path, "\"\n\t", strerror(errno), "\n"});
        return;
    }
    // A path that passed the probe is shorter than PATH_MAX.
    char file[PATH_MAX + kNameMax];
    (void)snprintf(file, sizeof file, "%s%s", path, name);
    char line[kNameMax + 32];
    const int len = snprintf(line, sizeof line, " je suis le fichier %s\n", name);

    // From here until the report is in the buffer, a signal waits: the
    // file is finished or removed first, never left half-made.
    g_busy = true;
    // O_EXCL makes the existence test and the creation one step: nothing
    // that appears meanwhile is truncated, and a symlink at this name is
    // never followed.
    const int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        if (errno == EEXIST) {
            Report({" File \"", file, "\" is already existing.\n"});
        } else {
            ReportCreateFailure(file, errno);
        }
    } else if (WriteAll(fd, std::string_view(line, static_cast<size_t>(len))) != 0) {
        const int err = errno;
        FileDiscard(fd, file);
        ReportCreateFailure(file, err);
    } else if (close(fd) != 0) {
        // Only network filesystems fail here. The descriptor is gone, so
        // nothing tells this file from one put at its name meanwhile: it
        // is left where it is rather than risk removing another's.
        ReportCreateFailure(file, errno);
    } else {
        Report({" File \"", file, "\" is created.\n"});
    }
    g_busy = false;
    if (const int sig = g_caught; sig != 0) {
        Die(sig);
    }
}

} // namespace

int main(const int argc, char **argv)
{
    CatchSignals();
    // Like stdio: a terminal sees each report at once.
    const bool tty = isatty(STDOUT_FILENO) != 0;
    char name[kNameMax];
    for (int i = 1; i < argc; ++i) {
        (void)snprintf(name, sizeof name, "fichier_%02d", i);
        FileCreate(argv[i], name);
        if (tty || Pending() >= kFlushAt) {
            Flush();
        }
    }
    Flush();
    return 0;
}
