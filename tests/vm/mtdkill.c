// SPDX-License-Identifier: MIT
/* mtdkill CALL N PROGRAM [ARG]...: run PROGRAM, traced, and kill it with SIGKILL the
 * moment the Nth of its calls of kind CALL returns, before it runs another instruction:
 *
 *   erase   a MEMERASE ioctl
 *   write   a write to an MTD character device (/dev/mtd*)
 *
 * so that a commit can be stopped exactly between two of its flash calls, the way a kill
 * would stop it, on the real kernel. PROGRAM's standard streams are this process's.
 * Exits 137 (a shell's status of a process killed by SIGKILL) when PROGRAM was killed
 * there; otherwise says that it ended first and exits with PROGRAM's status (128 + the
 * signal when a signal ended it); 2 for a usage or tracing failure. Runs in the guest,
 * linked statically.
 */
#include <errno.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static const char usage_msg[] = "usage: mtdkill erase|write N PROGRAM [ARG]...\n";
static const char trace_fail_msg[] = "mtdkill: cannot trace %s: %s\n";
static const char ended_msg[] = "mtdkill: %s ended before its %s number %lu returned\n";

/* Whether the call that `info` enters is one of the kind counted. */
static int counted(pid_t pid, const struct __ptrace_syscall_info *info, int erase)
{
    if (erase)
        return info->entry.nr == SYS_ioctl && (uint32_t)info->entry.args[1] == (uint32_t)MEMERASE;
    if (info->entry.nr != SYS_write)
        return 0;
    /* Which file the descriptor names, as the tracee sees it. */
    char link[64], target[64];
    snprintf(link, sizeof link, "/proc/%d/fd/%d", (int)pid, (int)info->entry.args[0]);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0)
        return 0;
    target[n] = '\0';
    return strncmp(target, "/dev/mtd", 8) == 0;
}

/* The status a shell would give a process that ended with wait status `status`. */
static int shell_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char **argv)
{
    const unsigned long wanted = argc >= 4 ? strtoul(argv[2], NULL, 10) : 0;
    if (wanted == 0 || (strcmp(argv[1], "erase") != 0 && strcmp(argv[1], "write") != 0)) {
        fputs(usage_msg, stderr);
        return 2;
    }
    const int erase = strcmp(argv[1], "erase") == 0;
    const pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, trace_fail_msg, argv[3], strerror(errno));
        return 2;
    }
    if (pid == 0) {
        /* Stopped until the tracer has set its options; then the program itself. */
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        raise(SIGSTOP);
        execvp(argv[3], argv + 3);
        fprintf(stderr, trace_fail_msg, argv[3], strerror(errno));
        _exit(127);
    }
    int status;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status) ||
        ptrace(PTRACE_SETOPTIONS, pid, NULL, (void *)(long)(PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC |
                                                             PTRACE_O_EXITKILL)) != 0) {
        fprintf(stderr, trace_fail_msg, argv[3], strerror(errno));
        kill(pid, SIGKILL);
        return 2;
    }
    unsigned long seen = 0;
    int inside = 0; /* the call being made is one of the kind counted */
    int deliver = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, NULL, (void *)(long)deliver) != 0 || waitpid(pid, &status, 0) != pid) {
            fprintf(stderr, trace_fail_msg, argv[3], strerror(errno));
            kill(pid, SIGKILL);
            return 2;
        }
        deliver = 0;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            fprintf(stderr, ended_msg, argv[3], argv[1], wanted);
            return shell_status(status);
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            /* A signal for the program goes on to it; the stops of the tracing do not. */
            if (WSTOPSIG(status) != SIGTRAP)
                deliver = WSTOPSIG(status);
            continue;
        }
        struct __ptrace_syscall_info info;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, (void *)sizeof info, &info) <= 0) {
            fprintf(stderr, trace_fail_msg, argv[3], strerror(errno));
            kill(pid, SIGKILL);
            return 2;
        }
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            inside = counted(pid, &info, erase);
        } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && inside && ++seen == wanted) {
            /* Stopped at the call's return: the kill lands before anything else runs. */
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return shell_status(status);
        }
    }
}
