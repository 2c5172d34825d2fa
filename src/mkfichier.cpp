// mkfichier: make sure each directory given exists, then create one
// numbered file in it, never overwriting anything.
//
// Every outcome goes to standard output, one report per argument, and the
// exit status is always 0: scripts read the messages, not the status.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Owns one open descriptor and closes it on every path out of a scope.
class Fd {
public:
    explicit Fd(const int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&) = delete;
    Fd &operator=(Fd &&) = delete;
    ~Fd()
    {
        if (fd_ >= 0) {
            (void)close(fd_);
        }
    }

    [[nodiscard]] int Get() const { return fd_; }

    // Closes now and tells how it went: for a file just written, close is
    // where a deferred write error shows up. Linux releases the descriptor
    // even when close fails, so it is never closed twice.
    int Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return close(fd);
    }

private:
    int fd_;
};

// Writes all of buf, going on after short writes and interruptions.
int WriteAll(const int fd, const char *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// The report for a file that could not be made, with the reason err.
void ReportCreateFailure(const std::string &file, const int err)
{
    printf(" error: Cannot creat the file \"%s\"\n\t%s\n", file.c_str(), strerror(err));
}

// Makes sure path exists and that the real user may read and write it,
// creating the missing levels outermost first, each with mode 0700.
// Returns 0, or -1 with errno set; prints nothing.
int TreeDirCreate(const char *path)
{
    if (access(path, R_OK | W_OK) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return -1;
    }

    const int n = static_cast<int>(strlen(path));
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }

    // Skip one trailing '/', then scan back to the separator before the
    // last level. Index 0 is never examined, so ":x" and "/x" both get the
    // current directory as their parent.
    int k = n - 1;
    if (path[k] == '/') {
        --k;
    }
    while (k > 0 && path[k] != ':' && path[k] != '/') {
        --k;
    }

    std::string parent;
    if (k <= 0) {
        // The current directory has no parent to fall back on: stop here
        // rather than recurse on it for ever.
        if (strcmp(path, "./") == 0) {
            return -1;
        }
        parent = "./";
    } else if (path[k] == ':') {
        // errno still holds the ENOENT of this level's probe.
        return -1;
    } else {
        parent.assign(path, static_cast<size_t>(k) + 1);
    }

    const int status = TreeDirCreate(parent.c_str());
    if (status != 0) {
        return status;
    }
    return mkdir(path, 0700);
}

// Does all the work for one argument and prints its one report.
int FileCreate(const char *path, const char *name)
{
    if (TreeDirCreate(path) != 0) {
        printf(" Error : Cannot use the path \"%s\"\n\t%s\n", path, strerror(errno));
        return -1;
    }

    const std::string file = std::string(path) + name;

    // O_EXCL makes the existence test and the creation one step: nothing
    // that appears meanwhile is truncated, and a symlink at this name is
    // never followed.
    Fd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.Get() < 0) {
        if (errno == EEXIST) {
            printf(" File \"%s\" is already existing.\n", file.c_str());
        } else {
            ReportCreateFailure(file, errno);
        }
        return -1;
    }

    char line[96];
    const int len = snprintf(line, sizeof line, " je suis le fichier %s\n", name);
    int err = 0;
    if (WriteAll(fd.Get(), line, static_cast<size_t>(len)) != 0) {
        err = errno;
        (void)fd.Close();
    } else if (fd.Close() != 0) {
        err = errno;
    }
    if (err != 0) {
        // This run made the file, so removing it loses nothing, and no
        // half-written file is left for a later run to take as done.
        (void)unlink(file.c_str());
        ReportCreateFailure(file, err);
        return -1;
    }

    printf(" File \"%s\" is created.\n", file.c_str());
    return 0;
}

} // namespace

int main(const int argc, char **argv)
{
    char name[64];
    for (int i = 1; i < argc; ++i) {
        (void)snprintf(name, 63, "fichier_%02d", i);
        (void)FileCreate(argv[i], name);
    }
    return 0;
}
