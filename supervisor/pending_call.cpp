#include "supervisor/pending_call.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/io.h"
#include "base/kernel_abi.h"
#include "path/normalize.h"

namespace {

constexpr uint64_t k_page = 4096;
constexpr size_t k_first_read = 256;

ssize_t read_with_vm(pid_t pid, uint64_t address, void* buffer, size_t size) {
    iovec local = {buffer, size};
    iovec remote = {reinterpret_cast<void*>(address), size};
    ssize_t got;
    do {
        got = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

ssize_t read_proc_mem(pid_t pid, uint64_t address, void* buffer, size_t size) {
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

bool read_tracee_mem(pid_t pid, uint64_t address, void* buffer, size_t size) {
    if (address == 0) return false;
    if (read_with_vm(pid, address, buffer, size) == static_cast<ssize_t>(size)) return true;
    return read_proc_mem(pid, address, buffer, size) == static_cast<ssize_t>(size);
}

bool copy_tracee_path(pid_t pid, uint64_t address, char* out) {
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
        if (got <= 0) return false;
        if (memchr(out + count, 0, static_cast<size_t>(got)) != nullptr) return true;
        count += static_cast<size_t>(got);
        address += static_cast<uint64_t>(got);
    }
    out[k_path_max] = 0;
    return true;
}

bool is_call_pending(const PendingCall& call) {
    uint64_t id = call.id;
    return ioctl(call.listener, k_ioctl_notif_id_valid, &id) == 0;
}
