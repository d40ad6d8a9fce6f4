#include "path/tracee_path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "launcher/io.h"
#include "launcher/kernel_abi.h"
#include "path/canonicalize.h"
#include "path/descriptor.h"
#include "path/normalize.h"
#include "path/path_rules.h"
#include "path/staged_check.h"

namespace {

constexpr uint64_t k_page = 4096;
constexpr size_t k_first_read = 256;

ssize_t read_with_vm(int pid, uint64_t address, void* buffer, size_t size) {
    iovec local = {buffer, size};
    iovec remote = {reinterpret_cast<void*>(address), size};
    ssize_t got;
    do {
        got = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

ssize_t read_proc_mem(int pid, uint64_t address, void* buffer, size_t size) {
    char name[64];
    snprintf(name, sizeof(name), "/proc/%d/mem", pid);
    int fd = open_read_only(name);
    if (fd < 0) return -1;
    ssize_t got;
    do {
        got = pread(fd, buffer, size, static_cast<off_t>(address));
    } while (got < 0 && errno == EINTR);
    close(fd);
    return got;
}

namespace {

// A final "/", "/." or "/..": the kernel follows a final link even when
// asked not to.
int ends_at_directory(const char* path) {
    size_t n = strlen(path);
    if (n > 0 && path[n - 1] == '/') return 1;
    if (n >= 2 && strcmp(path + n - 2, "/.") == 0) return 1;
    if (n >= 3 && strcmp(path + n - 3, "/..") == 0) return 1;
    return strcmp(path, ".") == 0 || strcmp(path, "..") == 0;
}

// The directory a relative path starts from, as the tracee sees it.
int read_base_directory(int pid, int dirfd, char* out) {
    char link[64];
    if (dirfd == AT_FDCWD) {
        snprintf(link, sizeof(link), "/proc/%d/cwd", pid);
    } else if (dirfd < 0) {
        return -1;
    } else {
        snprintf(link, sizeof(link), "/proc/%d/fd/%d", pid, dirfd);
    }
    if (read_descriptor_target(link, out, k_path_size) < 1 || out[0] != '/') return -1;
    return 0;
}

int check_descriptor_link(const Tracee* tracee, const char* link, const char* fdinfo, int access) {
    char target[k_path_size];
    if (read_descriptor_target(link, target, sizeof(target)) < 0) return 0;
    // The link is the tracee's only if its call is still pending now.
    if (!is_call_pending(tracee)) return 0;
    return judge_descriptor_target(tracee->policy, target, fdinfo, access, tracee->child_pid, tracee->supervisor_pid,
                                   nullptr);
}

}  // namespace

int read_tracee_mem(int pid, uint64_t address, void* buffer, size_t size) {
    if (address == 0) return -1;
    if (read_with_vm(pid, address, buffer, size) == static_cast<ssize_t>(size)) return 0;
    return read_proc_mem(pid, address, buffer, size) == static_cast<ssize_t>(size) ? 0 : -1;
}

int copy_tracee_path(int pid, uint64_t address, char* out) {
    size_t count = 0;
    while (count < k_path_max) {
        // No chunk crosses a page: the string may end just before an
        // unmapped one.
        size_t chunk = static_cast<size_t>(k_page - address % k_page);
        // Most paths are short: a first small read spares copying the rest
        // of the page.
        if (count == 0 && chunk > k_first_read) chunk = k_first_read;
        if (chunk > k_path_max - count) chunk = k_path_max - count;
        ssize_t got = read_with_vm(pid, address, out + count, chunk);
        if (got <= 0) got = read_proc_mem(pid, address, out + count, chunk);
        if (got <= 0) return -1;
        if (memchr(out + count, 0, static_cast<size_t>(got)) != nullptr) return 0;
        count += static_cast<size_t>(got);
        address += static_cast<uint64_t>(got);
    }
    out[k_path_max] = 0;
    return 0;
}

int is_call_pending(const Tracee* tracee) {
    uint64_t id = tracee->id;
    return ioctl(tracee->listener, k_ioctl_notif_id_valid, &id) == 0;
}

int check_tracee_descriptor(const Tracee* tracee, int fd, int access) {
    char link[64];
    char fdinfo[64];
    fdinfo[0] = 0;
    if (fd == AT_FDCWD) {
        snprintf(link, sizeof(link), "/proc/%d/cwd", tracee->pid);
    } else if (fd < 0) {
        return 0;
    } else {
        snprintf(link, sizeof(link), "/proc/%d/fd/%d", tracee->pid, fd);
        snprintf(fdinfo, sizeof(fdinfo), "/proc/%d/fdinfo/%d", tracee->pid, fd);
    }
    return check_descriptor_link(tracee, link, fdinfo, access);
}

int check_tracee_path(const Tracee* tracee, const PathOperand* operand) {
    char raw[k_path_size];
    if (operand->address == 0) {
        // Newer kernels take a null path with AT_EMPTY_PATH as the empty
        // path; older ones fail it. Either way nothing else is named.
        if (!operand->empty_path_result) return 0;
        raw[0] = 0;
    } else if (copy_tracee_path(tracee->pid, operand->address, raw) != 0) {
        return 0;
    }

    if (raw[0] == 0) {
        if (!operand->empty_path_result) return 0;
        // The call acts on dirfd itself. Looking at it or reading it is
        // what the tracee can do with the descriptor anyway.
        if (operand->access == ACCESS_STAT || operand->access == ACCESS_READ) return 1;
        return check_tracee_descriptor(tracee, operand->dirfd, operand->access);
    }
    int follow = operand->follow || ends_at_directory(raw);

    char absolute[k_path_size];
    if (raw[0] == '/') {
        memcpy(absolute, raw, strlen(raw) + 1);
    } else {
        char base[k_path_size];
        if (read_base_directory(tracee->pid, operand->dirfd, base) != 0) return 0;
        int written = snprintf(absolute, sizeof(absolute), "%s/%s", base, raw);
        if (written < 0 || static_cast<size_t>(written) > k_path_max) return 0;
    }

    // Everything read so far (the string, the base directory) belongs to
    // this call only if the call is still pending now: a pid that died and
    // was reused would have answered for another process.
    if (!is_call_pending(tracee)) return 0;

    PathStages stages;
    if (!judge_path_stages(tracee->policy, absolute, operand->access, follow, tracee->pid, tracee->child_pid,
                           tracee->supervisor_pid, &stages)) {
        return 0;
    }
    char link[64];
    char fdinfo[64];
    if (stages.stage[STAGE_FOLLOWED].ran &&
        name_descriptor_path(stages.followed, tracee->pid, link, fdinfo, sizeof(link))) {
        return check_descriptor_link(tracee, link, fdinfo, operand->access);
    }
    return 1;
}
