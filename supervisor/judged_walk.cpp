#include "supervisor/judged_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/io.h"
#include "path/operand.h"

int open_with(int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve) {
    OpenHow how{flags | O_CLOEXEC, mode, resolve};
    long fd;
    do {
        fd = syscall(k_nr_openat2, dirfd, path, &how, sizeof(how));
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

// What the judgement saw is the walk's end: links on the way were resolved
// and judged, so one met now was put there since. Below /proc the links are
// the kernel's own (a process's "exe", "/proc/net"); "/dev/null" is taken
// as written.
uint64_t resolve_for(const char* path) {
    if (strncmp(path, "/proc/", 6) == 0) return 0;
    if (strcmp(path, "/dev/null") == 0) return k_resolve_no_magiclinks;
    return k_no_links;
}

// "/dev/fd" is the caller's "/proc/self/fd", not the supervisor's.
const char* caller_view(const char* path, pid_t caller, char (&out)[k_path_size]) {
    if (strncmp(path, "/dev/fd", 7) != 0 || (path[7] != 0 && path[7] != '/')) return path;
    snprintf(out, sizeof(out), "/proc/%d/fd%s", static_cast<int>(caller), path + 7);
    return out;
}

void name_own_descriptor(int fd, char (&link)[32]) {
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
}

namespace {

// Opens link (a /proc link, followed) without opening what it reaches; -1
// with errno EACCES unless what it reached still reads as expected.
int pin_as(const char* link, uint64_t flags, const char* expected) {
    const int pin = open_with(AT_FDCWD, link, O_PATH | flags, 0, 0);
    if (pin < 0) return -1;
    char self[32];
    name_own_descriptor(pin, self);
    char now[k_path_size];
    if (read_link(self, now, sizeof(now)) < 0 || strcmp(now, expected) != 0) {
        close(pin);
        errno = EACCES;
        return -1;
    }
    return pin;
}

}  // namespace

int pin_descriptor(const JudgedTarget& target) {
    return pin_as(target.path, 0, target.expected);
}

int pin_base(const JudgedTarget& target, pid_t caller) {
    char link[64];
    if (target.base[0] == 0 || !name_base_directory(caller, target.dirfd, link)) return -1;
    // Still the directory the path was judged from.
    return pin_as(link, O_DIRECTORY, target.base);
}

namespace {

pthread_mutex_t g_umask_lock = PTHREAD_MUTEX_INITIALIZER;
// Initial-exec: read without a call into the dynamic loader.
__attribute__((tls_model("initial-exec"))) thread_local bool t_own_umask = false;

}  // namespace

bool take_own_umask() {
    t_own_umask = unshare(CLONE_FS) == 0;
    return t_own_umask;
}

void lock_shared_umask() {
    if (!t_own_umask) pthread_mutex_lock(&g_umask_lock);
}

void unlock_shared_umask() {
    if (!t_own_umask) pthread_mutex_unlock(&g_umask_lock);
}
