/*
 * The floor for the benchmark: only the calls that the work needs in an existing
 * directory (probe, exclusive open, one write, close), with the same names and content
 * as mkfichier, and nothing printed. Built with -DHELD, it also holds every signal
 * while each file is made, as mkfichier does: two calls more.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char path[4096];
    char line[64];
#ifdef HELD
    sigset_t all;
    sigset_t caller;
    (void)sigfillset(&all);
#endif
    for (int i = 1; i < argc; ++i) {
        if (access(argv[i], R_OK | W_OK) != 0) {
            continue;
        }
        const int n = snprintf(path, sizeof path, "%sfichier_%02d", argv[i], i);
        if (n < 0 || (size_t)n >= sizeof path) {
            continue;
        }
#ifdef HELD
        (void)sigprocmask(SIG_BLOCK, &all, &caller);
#endif
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            const int len = snprintf(line, sizeof line, " je suis le fichier fichier_%02d\n", i);
            /* Nothing to report: the floor only sets the pace. */
            if (write(fd, line, (size_t)len) != len) {
            }
            (void)close(fd);
        }
#ifdef HELD
        (void)sigprocmask(SIG_SETMASK, &caller, NULL);
#endif
    }
    return 0;
}
