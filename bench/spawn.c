/*
 * Starts commands as a benchmark should see them: directly, by posix_spawn,
 * with standard output on /dev/null, so that no shell's own fork and exec
 * hide their start-up. Usage: spawn COUNT CMD... [-- CMD...]: runs each CMD
 * in turn, COUNT times; a "%d" in a command's first argument becomes the
 * run's number. Prints a line for each run: the command's number (1 or 2),
 * its wall time in microseconds and its peak memory in KB.
 */
#define _DEFAULT_SOURCE /* wait4 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static long long now(void)
{
    struct timespec t;
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv)
{
    char **cmd[2] = {argv + 2, NULL};
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            argv[i] = NULL;
            cmd[1] = argv + i + 1;
        }
    }
    const char *pattern[2] = {argc > 3 ? cmd[0][1] : NULL, cmd[1] != NULL ? cmd[1][1] : NULL};
    static char arg[2][4096];
    posix_spawn_file_actions_t out;
    if (argc < 3 || posix_spawn_file_actions_init(&out) != 0 ||
        posix_spawn_file_actions_addopen(&out, 1, "/dev/null", O_WRONLY, 0) != 0) {
        return 2;
    }
    for (long k = 1; k <= strtol(argv[1], NULL, 10); ++k) {
        for (int c = 0; c < 2 && cmd[c] != NULL; ++c) {
            const char *at = pattern[c] != NULL ? strstr(pattern[c], "%d") : NULL;
            if (at != NULL) {
                (void)snprintf(arg[c], sizeof arg[c], "%.*s%ld%s", (int)(at - pattern[c]),
                               pattern[c], k, at + 2);
                cmd[c][1] = arg[c];
            }
            pid_t pid;
            int status;
            struct rusage use;
            const long long start = now();
            if (posix_spawn(&pid, cmd[c][0], &out, NULL, cmd[c], environ) != 0 ||
                wait4(pid, &status, 0, &use) != pid) {
                return 1;
            }
            printf("%d %lld %ld\n", c + 1, (now() - start) / 1000, use.ru_maxrss);
        }
    }
    return 0;
}
