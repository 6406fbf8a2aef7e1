#pragma once

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace orvane::test {

// Runs `step` in a forked child (single-threaded, so it may take a mount namespace of its own
// or end abruptly) and returns its exit status; -1 when it did not exit by itself.
template <typename Step>
int inChild(Step step) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(step());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace orvane::test
