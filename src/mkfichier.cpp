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

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <numeric>
#include <string_view>

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0666;
constexpr int kProbe = R_OK | W_OK;

// A file name is at most "fichier_" and the ten digits of an int.
constexpr size_t kNameMax = 64;

// Signals that end a run; each waits for the file being made to be
// finished or removed. SIGQUIT still dumps core once that is done.
constexpr std::array kEndSignals{SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Reports wait in this buffer and go out in large writes. A signal handler
// may write out what stands here, so it is plain memory and lengths that
// fit a sig_atomic_t, not stdio.
constexpr sig_atomic_t kFlushAt = 8192;
char g_out[1 << 18];
volatile sig_atomic_t g_len;  // bytes of whole reports in g_out
volatile sig_atomic_t g_sent; // of which already written
volatile sig_atomic_t g_stdout_gone;

// What a signal handler must know of the main flow.
volatile sig_atomic_t g_busy;     // a file is being made, or its report written
volatile sig_atomic_t g_flushing; // the main flow is writing g_out
volatile sig_atomic_t g_caught;   // a signal that waits for the above to end

// Keeps the compiler from moving buffer updates across flag changes that a
// signal handler reads.
void Fence() { std::atomic_signal_fence(std::memory_order_seq_cst); }

sigset_t EndSignalSet()
{
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int sig : kEndSignals) {
        (void)sigaddset(&set, sig);
    }
    return set;
}

void DefaultAction(const int sig)
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(sig, &dfl, nullptr);
}

// Writes out, without ever waiting, what stdout takes of the reports, then
// ends the process by sig as if it had not been caught.
[[noreturn]] void Die(const int sig)
{
    // Another end signal must not start this over from the middle.
    const sigset_t ends = EndSignalSet();
    (void)sigprocmask(SIG_BLOCK, &ends, nullptr);
    while (g_stdout_gone == 0 && g_sent < g_len) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
            break;
        }
        // No more than a pipe takes at once when it has any room at all.
        const size_t chunk = std::min(static_cast<size_t>(g_len - g_sent), static_cast<size_t>(PIPE_BUF));
        const ssize_t n = write(STDOUT_FILENO, g_out + g_sent, chunk);
        if (n <= 0) {
            break;
        }
        g_sent = g_sent + static_cast<sig_atomic_t>(n);
    }
    DefaultAction(sig);
    sigset_t set;
    (void)sigemptyset(&set);
    (void)sigaddset(&set, sig);
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
    (void)raise(sig);
    // Not reached unless the signal could not be raised.
    // cppcheck-suppress unreachableCode
    _exit(128 + sig);
}

void OnEndSignal(const int sig)
{
    const int saved = errno;
    if (g_busy != 0) {
        g_caught = sig;
    } else if (g_flushing != 0) {
        // The write under way may have sent part of the buffer already:
        // let it return and count. Should it block for good, a second
        // signal ends the run at once.
        g_caught = sig;
        DefaultAction(sig);
    } else {
        Die(sig);
    }
    errno = saved;
}

// A failed write is reported like any other failure rather than killing
// the run; a vanished reader of stdout costs the reports, not the work.
// An end signal that the caller ignores (nohup, background jobs) stays
// ignored.
void CatchSignals()
{
    struct sigaction act {};
    act.sa_handler = OnEndSignal;
    act.sa_mask = EndSignalSet();
    for (const int sig : kEndSignals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            (void)sigaction(sig, &act, nullptr);
        }
    }
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    (void)sigaction(SIGPIPE, &ign, nullptr);
    (void)sigaction(SIGXFSZ, &ign, nullptr);
}

// Writes g_out[g_sent, g_len) to stdout and empties it. Once stdout has
// failed, reports are dropped: the work goes on without them.
void Flush()
{
    g_flushing = 1;
    Fence();
    while (g_sent < g_len && g_stdout_gone == 0 && g_caught == 0) {
        const ssize_t n = write(STDOUT_FILENO, g_out + g_sent, static_cast<size_t>(g_len - g_sent));
        if (n > 0) {
            g_sent = g_sent + static_cast<sig_atomic_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            (void)poll(&p, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            g_stdout_gone = 1;
        }
    }
    if (g_caught == 0) {
        g_len = 0;
        g_sent = 0;
    }
    Fence();
    g_flushing = 0;
    Fence();
    if (g_caught != 0) {
        Die(g_caught);
    }
}

// Adds one whole report; a signal handler sees it only once it is whole.
// One longer than the buffer (it echoes an argument of hundreds of
// kilobytes) goes out in pieces as it is made.
void Report(const std::initializer_list<std::string_view> parts)
{
    const size_t size = std::accumulate(parts.begin(), parts.end(), size_t{0},
                                        [](const size_t n, const std::string_view p) { return n + p.size(); });
    if (static_cast<size_t>(g_len) + size > sizeof g_out) {
        Flush();
    }
    auto len = static_cast<size_t>(g_len);
    for (const std::string_view p : parts) {
        for (size_t done = 0; done < p.size();) {
            if (len == sizeof g_out) {
                g_len = static_cast<sig_atomic_t>(len);
                Flush();
                len = 0;
            }
            const size_t n = std::min(p.size() - done, sizeof g_out - len);
            memcpy(g_out + len, p.data() + done, n);
            len += n;
            done += n;
        }
    }
    Fence();
    g_len = static_cast<sig_atomic_t>(len);
}

// The file's path is given as the directory argument and the name.
void ReportCreateFailure(const char *path, const char *name, const int err)
{
    Report({" error: Cannot creat the file \"", path, name, "\"\n\t", strerror(err), "\n"});
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
// before the last level (one trailing '/' skipped), 0 for the current
// directory, or -1 where a ':' stops the walk. Index 0 is never examined,
// so ":x" and "/x" both get the current directory as their parent.
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
        return 0;
    }
    return path[k] == ':' ? -1 : k + 1;
}

// The end of the next level below path[0, end), going back down the levels
// that ParentEnd went up: just past the next '/', or the whole path.
int ChildEnd(const char *path, const int end, const int n)
{
    int j = end > 0 ? end : 1;
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
        if (errno != ENOENT) {
            return -1;
        }
        if (end == 0) {
            // The current directory is gone: nothing above to fall back on.
            return -1;
        }
        end = ParentEnd(path, end);
        if (end < 0) {
            errno = ENOENT;
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
// disk, as careful tools do.
int WriteAll(const int fd, std::string_view line)
{
    while (!line.empty()) {
        const ssize_t n = write(fd, line.data(), line.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return -1;
        }
        line.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// Removes the entry of path's directory named as path's last level if it
// is still the file mine: the directory is held by a descriptor while it
// is checked, so a directory swapped for a symlink meanwhile cannot send
// the removal anywhere else.
int RemoveIfSame(char *path, const struct stat &mine)
{
    char *const slash = strrchr(path, '/');
    const char *const base = slash != nullptr ? slash + 1 : path;
    int dir = -1;
#ifdef O_PATH
    constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC; // needs no read permission
#else
    constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    if (slash == nullptr) {
        dir = open(".", kDirFlags);
    } else {
        const Cut cut(slash, 1);
        dir = open(path, kDirFlags);
    }
    if (dir < 0) {
        return -1;
    }
    struct stat st {};
    int status = -1;
    if (fstatat(dir, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mine.st_dev && st.st_ino == mine.st_ino) {
        status = unlinkat(dir, base, 0);
    }
    (void)close(dir);
    return status;
}

// Where the system says the open file fd now is, or -1.
int FdPath(const int fd, char *buf, const size_t size)
{
    char link[32];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, buf, size - 1);
    if (n <= 0 || buf[0] != '/') {
        return -1;
    }
    buf[n] = '\0';
    return 0;
}

// Removes the file this run made and failed to finish, and nothing else.
// It is looked for where it was made, then, should that path now lead
// elsewhere, where the system says it is.
void FileDiscard(const int fd, char *file)
{
    struct stat mine {};
    if (fstat(fd, &mine) != 0) {
        return;
    }
    char where[PATH_MAX];
    constexpr int kTries = 8;
    for (int i = 0; i < kTries && mine.st_nlink > 0; ++i) {
        if (RemoveIfSame(i == 0 ? file : where, mine) == 0) {
            return;
        }
        if (FdPath(fd, where, sizeof where) != 0 || fstat(fd, &mine) != 0) {
            return;
        }
    }
}

// Does all the work for one argument and adds its one report.
int FileCreate(char *path, const char *name)
{
    if (TreeDirCreate(path) != 0) {
        Report({" Error : Cannot use the path \"", path, "\"\n\t", strerror(errno), "\n"});
        return -1;
    }

    // A path that passed the probe is shorter than PATH_MAX.
    char file[PATH_MAX + kNameMax];
    const int flen = snprintf(file, sizeof file, "%s%s", path, name);
    if (flen < 0 || static_cast<size_t>(flen) >= sizeof file) {
        ReportCreateFailure(path, name, ENAMETOOLONG);
        return -1;
    }

    char line[kNameMax + 32];
    const int len = snprintf(line, sizeof line, " je suis le fichier %s\n", name);

    // From here until the report is in the buffer, a signal waits: the
    // file is finished or removed first, never left half-made.
    g_busy = 1;
    Fence();
    int status = 0;
    // O_EXCL makes the existence test and the creation one step: nothing
    // that appears meanwhile is truncated, and a symlink at this name is
    // never followed.
    const int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        if (errno == EEXIST) {
            Report({" File \"", file, "\" is already existing.\n"});
        } else {
            ReportCreateFailure(file, "", errno);
        }
        status = -1;
    } else if (WriteAll(fd, std::string_view(line, static_cast<size_t>(len))) != 0) {
        const int err = errno;
        FileDiscard(fd, file);
        (void)close(fd);
        ReportCreateFailure(file, "", err);
        status = -1;
    } else if (close(fd) != 0) {
        // Only network filesystems fail here. The descriptor is gone, so
        // nothing tells this file from one put at its name meanwhile: it
        // is left where it is rather than risk removing another's.
        ReportCreateFailure(file, "", errno);
        status = -1;
    } else {
        Report({" File \"", file, "\" is created.\n"});
    }
    Fence();
    g_busy = 0;
    Fence();
    if (g_caught != 0) {
        Die(g_caught);
    }
    return status;
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
        (void)FileCreate(argv[i], name);
        if (g_len >= kFlushAt || tty) {
            Flush();
        }
    }
    Flush();
    return 0;
}
