#include "proc/process_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/io.h"
#include "base/kernel_abi.h"

namespace {

ssize_t read_proc_file(const char* format, int pid, char* buffer, size_t size) {
    char name[64];
    snprintf(name, sizeof(name), format, pid);
    return read_small_file(name, buffer, size);
}

}  // namespace

// The command name may hold ')' and blanks, so the fields are found after
// the last ')'.
pid_t parent_of(pid_t pid) {
    char text[512];
    if (read_proc_file("/proc/%d/stat", pid, text, sizeof(text)) <= 0) return -1;
    const char* close_paren = strrchr(text, ')');
    if (close_paren == nullptr || close_paren[1] == 0 || close_paren[2] == 0) return -1;
    char state;
    int parent;
    if (sscanf(close_paren + 2, "%c %d", &state, &parent) < 2) return -1;
    return parent;
}

pid_t pid_of_pidfd(pid_t pid, int fd) {
    if (fd < 0) return k_no_pidfd;
    char name[64];
    snprintf(name, sizeof(name), "/proc/%d/fdinfo/%%d", pid);
    char text[512];
    if (read_proc_file(name, fd, text, sizeof(text)) <= 0) return k_no_pidfd;
    const char* field = strstr(text, "\nPid:");
    if (field == nullptr) return k_no_pidfd;
    int target;
    if (sscanf(field + 5, "%d", &target) != 1) return k_no_pidfd;
    return target;
}

bool has_no_process(pid_t id) {
    if (id <= 0 || kill(id, 0) == 0 || errno != ESRCH) return false;
    // kill answers ESRCH for a thread that leads no group as well: its
    // entry, not listed in /proc, still opens.
    char entry[32];
    snprintf(entry, sizeof(entry), "/proc/%d", static_cast<int>(id));
    return access(entry, F_OK) != 0;
}

pid_t thread_group_of(pid_t tid) {
    // A pidfd opens only for a thread-group leader, and most callers are
    // one: that spares the kernel writing out the whole status file.
    long pidfd = syscall(k_nr_pidfd_open, tid, 0);
    if (pidfd >= 0) {
        close(static_cast<int>(pidfd));
        return tid;
    }
    char text[1024];
    if (read_proc_file("/proc/%d/status", tid, text, sizeof(text)) <= 0) return tid;
    const char* field = strstr(text, "\nTgid:");
    if (field == nullptr) return tid;
    int tgid;
    if (sscanf(field + 6, "%d", &tgid) != 1 || tgid <= 0) return tid;
    return tgid;
}

namespace {

// The walk of both memberships: up the parent chain to the child, or to the
// supervisor, which counts when orphans do.
bool is_below(pid_t pid, const SandboxTree& tree, bool orphans_count) {
    if (pid <= 0 || pid == tree.supervisor) return false;
    if (pid == tree.child) return true;
    pid_t current = thread_group_of(pid);
    if (current == tree.supervisor || current <= 1) return false;
    for (int hops = 0;;) {
        if (current == tree.child) return true;
        if (current == tree.supervisor) return orphans_count;
        current = parent_of(current);
        if (current == -1) return false;
        if (current == tree.child) return true;
        if (++hops >= k_tree_hop_limit) return false;
        if (current <= 1) return false;
    }
}

}  // namespace

bool is_in_sandbox_tree(pid_t pid, const SandboxTree& tree) {
    return is_below(pid, tree, false);
}

bool is_under_supervisor(pid_t pid, const SandboxTree& tree) {
    return is_below(pid, tree, true);
}

bool is_descriptor_open_for(const char* fdinfo, bool want_write) {
    char text[256];
    if (read_small_file(fdinfo, text, sizeof(text)) <= 0) return false;
    const char* field = strstr(text, "flags:");
    if (field == nullptr) return false;
    unsigned long flags = strtoul(field + 6, nullptr, 8);
    if (flags & O_PATH) return false;
    unsigned long mode = flags & O_ACCMODE;
    return want_write ? (mode == O_WRONLY || mode == O_RDWR) : (mode == O_RDONLY || mode == O_RDWR);
}
