// A thread of the test process that stays alive while a test needs its id:
// the stand-in for a tracee thread whose thread group is the test process.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

class LiveThread {
public:
    LiveThread()
        : worker_([this] {
              tid_ = static_cast<int>(syscall(SYS_gettid));
              while (!stop_) usleep(1000);
          }) {
        while (tid_ == 0) usleep(100);
    }
    ~LiveThread() {
        stop_ = true;
        worker_.join();
    }
    LiveThread(const LiveThread&) = delete;
    LiveThread& operator=(const LiveThread&) = delete;
    int tid() const { return tid_; }

private:
    std::atomic<int> tid_{0};
    std::atomic<bool> stop_{false};
    std::thread worker_;
};
