// stress: runs under the sandbox and makes trapped calls from many processes
// and threads at once, each with a known answer, and counts what came back.
//
//   stress calls PROCESSES THREADS MILLISECONDS DIR
//       every thread opens DIR/visible/f (allowed), DIR/hidden/f (EACCES)
//       and creates DIR/visible/ro-x (EACCES: not writable) in turn until
//       the time is up; prints "calls N wrong W", exit 1 if W > 0
//   stress kills ROUNDS DIR
//       a child making allowed calls in a loop is killed at once, ROUNDS
//       times; afterwards this process's own calls must still be answered
//   stress churn ROUNDS DIR
//       children that each make one call and exit, four at a time, so that
//       pids come round again while calls are pending
//   stress queue THREADS DIR
//       THREADS threads each make a call; the process exits while they wait
//   stress background CHILDREN MILLISECONDS DIR
//       leaves CHILDREN processes behind that keep making calls after this
//       one has exited; each writes its counts to DIR/out/bg-<n>
//   stress runs PROCESSES ROUNDS DIR
//       every process writes a script to DIR/out, closes it and runs it,
//       ROUNDS times, while the others do the same; prints "writers N busy
//       B" (B: writers that saw a run refused because the file was still
//       open for writing), exit 1 if B > 0 (processes, not threads: a
//       thread's fork would take the others' open files along)
//
// Each mode is bounded in time and prints its counts.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

char g_allowed[4096];
char g_hidden[4096];
char g_refused_write[4096];
long long g_deadline_ms;
std::atomic<long> g_calls{0};
std::atomic<long> g_wrong{0};

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void set_paths(const char* dir) {
    snprintf(g_allowed, sizeof(g_allowed), "%s/visible/f", dir);
    snprintf(g_hidden, sizeof(g_hidden), "%s/hidden/f", dir);
    snprintf(g_refused_write, sizeof(g_refused_write), "%s/visible/ro-x", dir);
}

// One call of each kind; counts any answer other than the expected one.
void make_calls() {
    int fd = openat(AT_FDCWD, g_allowed, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    } else {
        ++g_wrong;
    }
    fd = openat(AT_FDCWD, g_hidden, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES) ++g_wrong;
    if (fd >= 0) close(fd);
    fd = openat(AT_FDCWD, g_refused_write, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EACCES) ++g_wrong;
    if (fd >= 0) close(fd);
    g_calls += 3;
}

void* call_until_deadline(void*) {
    while (now_ms() < g_deadline_ms) make_calls();
    return nullptr;
}

int report() {
    printf("calls %ld wrong %ld\n", g_calls.load(), g_wrong.load());
    fflush(stdout);
    return g_wrong.load() == 0 ? 0 : 1;
}

int run_threads(int threads) {
    pthread_t ids[256];
    if (threads > 256) threads = 256;
    for (int i = 0; i < threads; ++i) pthread_create(&ids[i], nullptr, call_until_deadline, nullptr);
    for (int i = 0; i < threads; ++i) pthread_join(ids[i], nullptr);
    return report();
}

int mode_calls(int processes, int threads, int milliseconds) {
    g_deadline_ms = now_ms() + milliseconds;
    for (int p = 1; p < processes; ++p) {
        if (fork() == 0) _exit(run_threads(threads));
    }
    int status = run_threads(threads);
    for (int p = 1; p < processes; ++p) {
        int child = 0;
        if (wait(&child) < 0 || !WIFEXITED(child) || WEXITSTATUS(child) != 0) status = 1;
    }
    return status;
}

int mode_kills(int rounds) {
    int killed = 0;
    for (int i = 0; i < rounds; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            for (;;) make_calls();
        }
        // Let it get into a call now and then, without waiting on it.
        if (i % 2 == 1) sched_yield();
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) ++killed;
    }
    g_calls = 0;
    g_wrong = 0;
    for (int i = 0; i < 10; ++i) make_calls();
    printf("killed %d\n", killed);
    return report();
}

int mode_churn(int rounds) {
    int failed = 0;
    int running = 0;
    for (int i = 0; i < rounds; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            make_calls();
            _exit(g_wrong.load() == 0 ? 0 : 1);
        }
        if (pid > 0) ++running;
        if (running == 4) {
            int status = 0;
            if (wait(&status) > 0) --running;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
        }
    }
    while (running > 0) {
        int status = 0;
        if (wait(&status) <= 0) break;
        --running;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    printf("children %d failed %d\n", rounds, failed);
    return failed == 0 ? 0 : 1;
}

void* one_call(void*) {
    make_calls();
    return nullptr;
}

int mode_queue(int threads) {
    for (int i = 0; i < threads; ++i) {
        pthread_t id;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&id, &attr, one_call, nullptr) != 0) break;
        pthread_attr_destroy(&attr);
    }
    printf("queued\n");
    fflush(stdout);
    _exit(7);
}

int mode_background(int children, int milliseconds, const char* dir) {
    g_deadline_ms = now_ms() + milliseconds;
    for (int i = 0; i < children; ++i) {
        if (fork() == 0) {
            while (now_ms() < g_deadline_ms) make_calls();
            char name[4096];
            snprintf(name, sizeof(name), "%s/out/bg-%d", dir, i);
            FILE* out = fopen(name, "w");
            if (out != nullptr) {
                fprintf(out, "calls %ld wrong %ld\n", g_calls.load(), g_wrong.load());
                fclose(out);
            }
            _exit(0);
        }
    }
    printf("left %d\n", children);
    return 0;
}

// Writes a script, closes it and runs it, ROUNDS times, as a build runs
// what it has just linked: 0, 3 when a run found the file busy, 4 for any
// other failure.
int write_and_run(const char* dir, int index, long rounds) {
    char path[4200];
    snprintf(path, sizeof(path), "%s/out/run-%d", dir, index);
    const char script[] = "#!/bin/sh\nexit 0\n";
    for (long i = 0; i < rounds; ++i) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        const bool written =
            fd >= 0 && write(fd, script, sizeof(script) - 1) == static_cast<ssize_t>(sizeof(script) - 1);
        if (fd >= 0) close(fd);
        if (!written) return 4;
        const pid_t child = fork();
        if (child == 0) {
            char* const words[] = {path, nullptr};
            execv(path, words);
            _exit(errno == ETXTBSY ? 3 : 4);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 4;
        if (WEXITSTATUS(status) != 0) return WEXITSTATUS(status) == 3 ? 3 : 4;
    }
    return 0;
}

int mode_runs(int processes, long rounds, const char* dir) {
    int busy = 0;
    int wrong = 0;
    for (int i = 0; i < processes; ++i) {
        const pid_t writer = fork();
        if (writer == 0) _exit(write_and_run(dir, i, rounds));
        if (writer < 0) ++wrong;
    }
    int status = 0;
    pid_t done;
    while ((done = wait(&status)) > 0 || (done < 0 && errno == EINTR)) {
        if (done < 0) continue;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
            ++busy;
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++wrong;
        }
    }
    printf("writers %d busy %d wrong %d\n", processes, busy, wrong);
    return busy == 0 && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        fprintf(stderr, "usage: stress calls|kills|churn|queue|background|runs ... DIR\n");
        return 2;
    }
    set_paths(argv[argc - 1]);
    const char* mode = argv[1];
    if (strcmp(mode, "calls") == 0 && argc == 6) return mode_calls(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    if (strcmp(mode, "kills") == 0 && argc == 4) return mode_kills(atoi(argv[2]));
    if (strcmp(mode, "churn") == 0 && argc == 4) return mode_churn(atoi(argv[2]));
    if (strcmp(mode, "queue") == 0 && argc == 4) return mode_queue(atoi(argv[2]));
    if (strcmp(mode, "runs") == 0 && argc == 5) return mode_runs(atoi(argv[2]), atol(argv[3]), argv[4]);
    if (strcmp(mode, "background") == 0 && argc == 5) {
        return mode_background(atoi(argv[2]), atoi(argv[3]), argv[4]);
    }
    fprintf(stderr, "stress: bad arguments\n");
    return 2;
}
