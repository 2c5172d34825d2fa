/*
 * The floor for the benchmark: only the calls that the work needs in an
 * existing directory (probe, exclusive open, one write, close), with the
 * same names and content as mkfichier, and nothing printed.
 */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char path[4096];
    char line[64];

    for (int i = 1; i < argc; ++i) {
        if (access(argv[i], R_OK | W_OK) != 0) { continue; }
        const int n = snprintf(path, sizeof path, "%sfichier_%02d", argv[i], i);
        if (n < 0 || (size_t)n >= sizeof path) { continue; }
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) { continue; }
        const int len = snprintf(line, sizeof line, " je suis le fichier fichier_%02d\n", i);
        /* Nothing to report: the floor only sets the pace. */
        if (write(fd, line, (size_t)len) != len) {}
        (void)close(fd);
    }
    return 0;
}
