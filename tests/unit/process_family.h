// Real processes for membership tests: a child of the test process that
// stands for the sandboxed child, with descendants below it.
#pragma once

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

// Forks a chain: chain[0] is a child of the caller, chain[i] a child of
// chain[i-1]. The last member sleeps until killed; every other member waits
// for its own child and then exits, so that killing the last member folds
// the whole chain up without leaving zombies behind. The pids travel back
// over a pipe so that the caller knows them all.
class ProcessChain {
public:
    // Every member names itself name when one is given.
    explicit ProcessChain(int length, const char* name = nullptr) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_t first = fork();
        if (first == 0) {
            close(fds[0]);
            for (int i = 0; i < length; ++i) {
                if (name != nullptr) prctl(PR_SET_NAME, name, 0, 0, 0);
                int self = getpid();
                if (write(fds[1], &self, sizeof(self)) != sizeof(self)) _exit(1);
                if (i + 1 == length) break;
                pid_t next = fork();
                if (next != 0) {
                    close(fds[1]);
                    while (waitpid(next, nullptr, 0) < 0 && errno == EINTR) {}
                    _exit(0);
                }
            }
            close(fds[1]);
            for (;;) pause();
        }
        close(fds[1]);
        for (int i = 0; i < length; ++i) {
            int pid = 0;
            if (read(fds[0], &pid, sizeof(pid)) != sizeof(pid)) break;
            pids_.push_back(pid);
        }
        close(fds[0]);
    }
    ~ProcessChain() {
        if (pids_.empty()) return;
        kill(pids_.back(), SIGKILL);
        while (waitpid(pids_[0], nullptr, 0) < 0 && errno == EINTR) {}
    }
    ProcessChain(const ProcessChain&) = delete;
    ProcessChain& operator=(const ProcessChain&) = delete;

    const std::vector<int>& pids() const { return pids_; }
    int at(size_t i) const { return pids_[i]; }

private:
    std::vector<int> pids_;
};
