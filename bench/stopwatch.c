// SPDX-License-Identifier: MIT
/* stopwatch COMMAND [ARG]...: run COMMAND with its standard output and error sent to
 * /dev/null and print one line, "MICROSECONDS STATUS": the monotonic time from just
 * before the fork to just after the wait, and the command's exit status (128 + N when
 * signal N ended it, 127 when it could not be run). The benchmark's guest times whole
 * processes with it, since busybox's date has no sub-second format. Linked statically,
 * so the guest needs no C library for it.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char usage_msg[] = "usage: stopwatch COMMAND [ARG]...\n";
static const char fork_fail_msg[] = "stopwatch: cannot fork\n";

static long long microseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs(usage_msg, stderr);
        return 2;
    }
    long long start = microseconds();
    pid_t child = fork();
    if (child < 0) {
        fputs(fork_fail_msg, stderr);
        return 1;
    }
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return 1;
    long long elapsed = microseconds() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%lld %d\n", elapsed, code);
    return 0;
}
