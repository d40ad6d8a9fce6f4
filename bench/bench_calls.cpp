// Times one kind of trapped call in a loop and prints the cost per call in
// microseconds: the median over ten equal batches of the loop, so that a
// burst of other work on the machine moves one batch, not the result. Run
// natively and under each program being compared.
//
//   bench_calls stat|read-open|write-open|chmod|exec|xattr|connect|refused ITERATIONS DIR
//   bench_calls parallel ROUNDS DIR THREADS
//
// DIR is a scratch directory the calls work in (write-open creates a file
// there); exec runs DIR/true-static if present, else /bin/true; connect
// goes to 127.0.0.1 on a port nothing listens on; refused looks at a path
// no policy shows. parallel runs THREADS threads at once, each doing ROUNDS
// rounds of what a build does to its files (create and write one, stat it,
// stat a system header), and prints the wall time per round.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

double now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

int run_once(const char* kind, const char* dir, const char* file, int sock_fd, const sockaddr_in* address) {
    if (strcmp(kind, "stat") == 0) {
        struct stat st;
        return fstatat(AT_FDCWD, file, &st, 0);
    }
    if (strcmp(kind, "read-open") == 0) {
        int fd = openat(AT_FDCWD, file, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) close(fd);
        return fd < 0 ? -1 : 0;
    }
    if (strcmp(kind, "write-open") == 0) {
        int fd = openat(AT_FDCWD, file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
        return fd < 0 ? -1 : 0;
    }
    if (strcmp(kind, "chmod") == 0) return fchmodat(AT_FDCWD, file, 0644, 0);
    if (strcmp(kind, "exec") == 0) {
        char program[4096];
        snprintf(program, sizeof(program), "%s/true-static", dir);
        if (access(program, X_OK) != 0) snprintf(program, sizeof(program), "/bin/true");
        pid_t pid = fork();
        if (pid == 0) {
            char* argv[] = {program, nullptr};
            execv(program, argv);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status == 0 ? 0 : -1;
    }
    if (strcmp(kind, "xattr") == 0) {
        // What ls -l asks of every file; most have no such attribute.
        char value[256];
        ssize_t got = lgetxattr(file, "security.selinux", value, sizeof(value));
        return got >= 0 || errno == ENODATA || errno == ENOTSUP ? 0 : -1;
    }
    if (strcmp(kind, "refused") == 0) {
        // A path no policy of the benchmark shows: refused under the
        // sandbox, missing natively.
        struct stat st;
        const int got = fstatat(AT_FDCWD, "/sandbox-bench-hidden/x", &st, 0);
        return got != 0 && (errno == ENOENT || errno == EACCES) ? 0 : -1;
    }
    if (strcmp(kind, "connect") == 0) {
        // A refused connect keeps the socket usable for the next try.
        connect(sock_fd, reinterpret_cast<const sockaddr*>(address), sizeof(*address));
        return 0;
    }
    return -1;
}

struct Worker {
    char file[4096];
    long rounds;
    bool failed;
};

const char* g_header = "/usr/include/stdio.h";

void* run_rounds(void* argument) {
    Worker* worker = static_cast<Worker*>(argument);
    const char text[64] = "int x;\n";
    for (long i = 0; i < worker->rounds; ++i) {
        const int fd = open(worker->file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        struct stat st;
        if (fd < 0 || write(fd, text, sizeof(text)) != static_cast<ssize_t>(sizeof(text)) || close(fd) != 0 ||
            stat(worker->file, &st) != 0 || stat(g_header, &st) != 0) {
            worker->failed = true;
            return nullptr;
        }
    }
    return nullptr;
}

int run_parallel(long rounds, const char* dir, int threads) {
    struct stat st;
    if (stat(g_header, &st) != 0) g_header = "/etc/hostname";
    Worker* workers = new Worker[static_cast<size_t>(threads)];
    pthread_t* ids = new pthread_t[static_cast<size_t>(threads)];
    for (int i = 0; i < threads; ++i) {
        snprintf(workers[i].file, sizeof(workers[i].file), "%s/parallel-%d", dir, i);
        workers[i].rounds = rounds;
        workers[i].failed = false;
    }
    const double start = now_us();
    int started = 0;
    while (started < threads && pthread_create(&ids[started], nullptr, run_rounds, &workers[started]) == 0) ++started;
    bool failed = started < threads;
    for (int i = 0; i < started; ++i) {
        pthread_join(ids[i], nullptr);
        failed = failed || workers[i].failed;
    }
    const double elapsed = now_us() - start;
    delete[] workers;
    delete[] ids;
    if (failed) {
        fprintf(stderr, "bench_calls: parallel rounds fail here\n");
        return 1;
    }
    printf("%.3f\n", elapsed / static_cast<double>(rounds * threads));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "parallel") == 0) {
        const long threads = strtol(argv[4], nullptr, 10);
        if (threads < 1 || threads > 1024) return 2;
        return run_parallel(strtol(argv[2], nullptr, 10), argv[3], static_cast<int>(threads));
    }
    if (argc != 4) {
        fprintf(stderr,
                "usage: %s stat|read-open|write-open|chmod|exec|xattr|connect|refused ITERATIONS DIR\n"
                "       %s parallel ROUNDS DIR THREADS\n",
                argv[0], argv[0]);
        return 2;
    }
    const char* kind = argv[1];
    long iterations = strtol(argv[2], nullptr, 10);
    const char* dir = argv[3];
    char file[4096];
    snprintf(file, sizeof(file), "%s/%s", dir, strcmp(kind, "write-open") == 0 ? "written" : "data");
    if (strcmp(kind, "write-open") != 0) {
        int fd = open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    int sock_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // One untimed call warms caches and the loader's lazy bindings.
    if (run_once(kind, dir, file, sock_fd, &address) != 0) {
        fprintf(stderr, "bench_calls: %s fails here\n", kind);
        return 1;
    }
    constexpr int k_batches = 10;
    long per_batch = iterations / k_batches > 0 ? iterations / k_batches : 1;
    double batch_us[k_batches];
    for (double& cost : batch_us) {
        double start = now_us();
        for (long i = 0; i < per_batch; ++i) run_once(kind, dir, file, sock_fd, &address);
        cost = (now_us() - start) / static_cast<double>(per_batch);
    }
    std::sort(batch_us, batch_us + k_batches);
    printf("%.3f\n", (batch_us[k_batches / 2 - 1] + batch_us[k_batches / 2]) / 2);
    return 0;
}
