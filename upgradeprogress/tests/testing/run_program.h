// Runs a program as a child with its standard output and error captured in
// one string, for tests that drive host tools and the sandbox runner.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace ota_test {

struct ProgramResult {
    int exitCode = -1;  // 128 + N when killed by signal N
    std::string out;    // stdout and stderr together

    // The last line of the output, without its line break: a runner's verdict.
    std::string lastLine() const {
        std::string trimmed = out;
        while (!trimmed.empty() && trimmed.back() == '\n')
            trimmed.pop_back();
        const size_t nl = trimmed.rfind('\n');
        return nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
    }
};

// argv[0] is an absolute path; `prefix` goes before `args` (a wrapper).
inline ProgramResult runProgram(const std::vector<std::string>& args,
                                const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> all = prefix;
    all.insert(all.end(), args.begin(), args.end());
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : all)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    ProgramResult r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Runs `command` with /bin/sh, its output captured as runProgram captures it.
inline ProgramResult runShell(const std::string& command) {
    return runProgram({"/bin/sh", "-c", command});
}

}  // namespace ota_test
