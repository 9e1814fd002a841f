#include "child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace board {

bool runTool(const std::vector<std::string>& argv, std::string* error, const std::string& input) {
    char outName[] = "/tmp/upgrade-board-tool-XXXXXX";
    int outFd = mkstemp(outName);
    if (outFd < 0) {
        *error = std::string("cannot make a temporary file: ") + strerror(errno);
        return false;
    }
    unlink(outName);
    int inPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        close(outFd);
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outFd, 1);
        dup2(outFd, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(inPipe[0]);
    if (pid > 0 && !input.empty()) {
        ssize_t ignored = write(inPipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(inPipe[1]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    bool ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) {
        std::string output;
        char buf[4096];
        ssize_t n;
        lseek(outFd, 0, SEEK_SET);
        while ((n = read(outFd, buf, sizeof buf)) > 0 && output.size() < 16384)
            output.append(buf, static_cast<size_t>(n));
        std::string command;
        for (const std::string& a : argv)
            command += (command.empty() ? "" : " ") + a;
        *error = command + " failed" + (output.empty() ? std::string() : ": " + output);
        while (!error->empty() && error->back() == '\n')
            error->pop_back();
    }
    close(outFd);
    return ok;
}

}  // namespace board
