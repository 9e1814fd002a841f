/* Runs the board's command inside the guest and tells the host how it ended.
 * A shell's $? cannot tell "killed by signal 9" from "exit 137", and the
 * verdicts must be the same as the sandbox runner's. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "report-status: no command\n");
        return 2;
    }
    printf("\nupgrade-board-guest: command started\n");
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        printf("upgrade-board-guest: cannot fork: %s\n", strerror(errno));
        return 2;
    }
    if (pid == 0) {
        execv(argv[1], argv + 1);
        fprintf(stderr, "report-status: cannot run %s: %s\n", argv[1], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    fflush(stdout);
    if (WIFSIGNALED(status)) {
        printf("\nupgrade-board-guest: killed by signal %d\n", WTERMSIG(status));
    } else {
        printf("\nupgrade-board-guest: exit status %d\n", WEXITSTATUS(status));
    }
    fflush(stdout);
    return 0;
}
