// mkfichier: for each directory given, make sure it exists, then create one numbered file
// in it, never overwriting anything; one report per argument on stdout, exit status 0.
// The routines that walk the path and make the file return -1 with errno set and print
// nothing; FileCreate reports.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0666;
constexpr int kUsable = R_OK | W_OK;
constexpr size_t kNameMax = 64; // "fichier_" and the digits of an int

// Cuts a path short while it lives, then puts the byte back: each level is used in place.
class PathCut {
public:
    PathCut(char *path, const int end) : at_(path + end), kept_(*at_)
    {
        *at_ = '\0';
    }
    ~PathCut()
    {
        *at_ = kept_;
    }
    PathCut(const PathCut &) = delete;
    PathCut &operator=(const PathCut &) = delete;

private:
    char *at_;
    char kept_;
};

// Probes the level path[0, end) for reading and writing by the real user; end 0 is the
// current directory.
int LevelProbe(char *path, const int end)
{
    if (end == 0) {
        return access("./", kUsable);
    }
    const PathCut cut(path, end);
    return access(path, kUsable);
}

// The end of the level above path[0, end), past its '/': 1 for the root, 0 for the
// current directory. -1 where there is none above, or where a ':' stops the walk.
int ParentEnd(const char *path, const int end)
{
    if (end == 0 || (end == 1 && path[0] == '/')) {
        return -1;
    }
    int k = end - 1;
    if (path[k] == '/') {
        --k; // one trailing '/' belongs to the level itself
    }
    while (k > 0 && path[k] != '/' && path[k] != ':') {
        --k;
    }
    if (k > 0 && path[k] == ':') {
        return -1;
    }
    if (k > 0) {
        return k + 1;
    }
    if (path[0] == '/') {
        return 1;
    }
    return 0;
}

// The end of the next level below path[0, end): past its '/', or the whole path.
int ChildEnd(const char *path, const int end, const int n)
{
    int k = end + 1;
    while (k < n && path[k - 1] != '/') {
        ++k;
    }
    return k;
}

// Makes the level path[0, end). One that exists already (made meanwhile by another run,
// or named twice, as in a// or x/./) will do if it is usable.
int LevelMake(char *path, const int end)
{
    const PathCut cut(path, end);
    const int made = mkdir(path, kDirMode);
    if (made == 0 || errno != EEXIST) {
        return made;
    }
    const int usable = access(path, kUsable);
    if (usable == 0) {
        return 0;
    }
    errno = EEXIST;
    return -1;
}

// Makes sure that path is a level the real user may read and write: probes up to the
// first level that passes, then makes each one below it, outermost first.
int TreeDirCreate(char *path)
{
    const int n = static_cast<int>(strlen(path));
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }
    int end = n;
    int probed = LevelProbe(path, end);
    while (probed != 0) {
        if (errno != ENOENT) {
            return -1;
        }
        end = ParentEnd(path, end);
        if (end < 0) {
            return -1; // errno: ENOENT, from the probe
        }
        probed = LevelProbe(path, end);
    }
    while (end < n) {
        end = ChildEnd(path, end, n);
        const int made = LevelMake(path, end);
        if (made != 0) {
            return -1;
        }
    }
    return 0;
}

// Waits, as long as it takes, until fd takes a write again.
int RoomWait(const int fd)
{
    pollfd wanted{};
    wanted.fd = fd;
    wanted.events = POLLOUT;
    int ready = poll(&wanted, 1, -1);
    while (ready < 0 && errno == EINTR) {
        ready = poll(&wanted, 1, -1);
    }
    return ready < 0 ? -1 : 0;
}

// What a write does when the call fails with EINTR or EAGAIN.
enum class Busy {
    kFails, // the file being made, opened blocking with signals held: only its filesystem says so
    kWaits, // stdout, between files: try again, after a wait for room on EAGAIN
};

// Writes all of data, again after a partial write. A write that takes nothing fails; EINTR
// and EAGAIN fail unless busy says to wait (a stdout that the caller left non-blocking).
int WriteAll(const int fd, const char *data, size_t size, const Busy busy)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        if (busy == Busy::kFails || (errno != EAGAIN && errno != EINTR)) {
            return -1;
        }
        if (errno == EAGAIN) {
            const int room = RoomWait(fd);
            if (room != 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Blocks every signal that can be blocked while it lives, then gives the caller's mask
// back: a signal that comes meanwhile acts once the file is whole or gone.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t all;
        (void)sigfillset(&all);
        const int blocked = sigprocmask(SIG_BLOCK, &all, &caller_);
        held_ = blocked == 0;
    }
    ~SignalsHeld()
    {
        const int err = errno;
        if (held_) {
            (void)sigprocmask(SIG_SETMASK, &caller_, nullptr);
        }
        errno = err;
    }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t caller_{};
    bool held_ = false;
};

// An open descriptor, closed when it goes, or earlier by Close, which says how that went.
class Descriptor {
public:
    explicit Descriptor(const int fd) : fd_(fd)
    {
    }
    ~Descriptor()
    {
        const int err = errno; // the failure that ended its use is the one to report
        (void)Close();
        errno = err;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    [[nodiscard]] int Get() const
    {
        return fd_;
    }
    int Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 ? 0 : close(fd);
    }

private:
    int fd_;
};

// Opens, without reading it, the directory that holds file; *base is the file's name there.
int DirOpen(char *file, const char **base)
{
    char *const slash = strrchr(file, '/');
    if (slash == nullptr) {
        *base = file;
        return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    *base = slash + 1;
    const PathCut cut(file, static_cast<int>(*base - file));
    return open(file, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Removes the entry base of dir if it is still the file that mine describes, and not a link
// to it.
void EntryRemoveIfSame(const int dir, const char *base, const struct stat &mine)
{
    struct stat now {};
    const int found = fstatat(dir, base, &now, AT_SYMLINK_NOFOLLOW);
    if (found != 0 || now.st_dev != mine.st_dev || now.st_ino != mine.st_ino) {
        return;
    }
    (void)unlinkat(dir, base, 0);
}

// Removes the file that fd holds, if its entry is still that very file. The check and the
// removal go through its directory, held open between them, so that a directory of the path
// swapped meanwhile takes nothing of another's. fd stays open, so that no other file takes
// its inode, unless no descriptor is left for the directory.
void FileDiscard(Descriptor &fd, char *file)
{
    struct stat mine {};
    const int known = fstat(fd.Get(), &mine);
    if (known != 0) {
        return; // nothing tells its entry from another's
    }
    const char *base = nullptr;
    int opened = DirOpen(file, &base);
    if (opened < 0 && (errno == EMFILE || errno == ENFILE)) {
        (void)fd.Close();
        opened = DirOpen(file, &base);
    }
    const Descriptor dir(opened);
    if (dir.Get() >= 0) {
        EntryRemoveIfSame(dir.Get(), base, mine);
    }
}

// What FileNewWrite returns where something stands at the name already.
constexpr int kExisting = 1;

// Creates file, never over anything, with its line, or removes it where the line cannot be
// written whole. Signals wait meanwhile. Returns kExisting where the open meets an entry there:
// a write or a close that fails with EEXIST is a failure like any other.
int FileNewWrite(char *file, const char *line, const size_t size)
{
    const SignalsHeld held;
    Descriptor fd(open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode));
    if (fd.Get() < 0 && errno == EEXIST) {
        return kExisting;
    }
    if (fd.Get() < 0) {
        return -1;
    }
    const int written = WriteAll(fd.Get(), line, size, Busy::kFails);
    if (written != 0) {
        const int err = errno;
        FileDiscard(fd, file);
        errno = err;
        return -1;
    }
    return fd.Close(); // where this fails (a network filesystem), the file stays
}

// Reports wait here and go out in pieces of whole reports of at most PIPE_BUF bytes, which a
// pipe takes whole: parallel runs that share one never splice them.
struct Output {
    char buf[PIPE_BUF];
    size_t len;
    bool tty;    // each report goes out at once
    bool failed; // a write failed: nothing more is written
};
Output out;

// Writes out the reports that wait, unless a write has failed already.
void ReportsFlush()
{
    if (!out.failed && out.len > 0) {
        const int written = WriteAll(STDOUT_FILENO, out.buf, out.len, Busy::kWaits);
        out.failed = written != 0;
    }
    out.len = 0;
}

// Copies text in; where it does not fit, which only a report longer than the buffer meets,
// writes out each full buffer first.
void ReportsAppend(const char *text)
{
    size_t left = strlen(text);
    while (left > 0) {
        if (out.len == sizeof out.buf) {
            ReportsFlush();
        }
        const size_t room = sizeof out.buf - out.len;
        const size_t taken = left < room ? left : room;
        memcpy(out.buf + out.len, text, taken);
        out.len += taken;
        text += taken;
        left -= taken;
    }
}

// Adds one report, made of parts; it starts a new piece where it does not fit in this one.
void Report(const std::initializer_list<const char *> parts)
{
    size_t size = 0;
    for (const char *part : parts) {
        size += strlen(part);
    }
    if (out.len + size > sizeof out.buf) {
        ReportsFlush();
    }
    for (const char *part : parts) {
        ReportsAppend(part);
    }
    if (out.tty) {
        ReportsFlush();
    }
}

void ReportFailure(const char *what, const char *path, const int err)
{
    Report({what, path, "\"\n\t", strerror(err), "\n"});
}

// Does all the work for one argument, and adds its one report once its file is done.
void FileCreate(char *path, const char *name)
{
    const int usable = TreeDirCreate(path);
    if (usable != 0) {
        ReportFailure(" Error : Cannot use the path \"", path, errno);
        return;
    }
    // A path that exists, probed or made, is shorter than PATH_MAX: nothing is cut off.
    char file[PATH_MAX + kNameMax];
    (void)snprintf(file, sizeof file, "%s%s", path, name);
    char line[kNameMax + 32];
    const int size = snprintf(line, sizeof line, " je suis le fichier %s\n", name);
    const int made = FileNewWrite(file, line, static_cast<size_t>(size));
    if (made == 0) {
        Report({" File \"", file, "\" is created.\n"});
    } else if (made == kExisting) {
        Report({" File \"", file, "\" is already existing.\n"});
    } else {
        ReportFailure(" error: Cannot creat the file \"", file, errno);
    }
}

} // namespace

int main(const int argc, char **argv)
{
    // A reader gone or a file size limit fails a write instead of ending the run.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    out.tty = isatty(STDOUT_FILENO) != 0;
    char name[kNameMax];
    for (int i = 1; i < argc; ++i) {
        (void)snprintf(name, sizeof name, "fichier_%02d", i);
        FileCreate(argv[i], name);
    }
    ReportsFlush();
    return 0;
}
