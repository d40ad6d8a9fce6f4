#include "path/link_free.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/kernel_abi.h"
#include "path/normalize.h"

namespace {

// Set once openat2 turns out to be missing, or refused as container
// profiles written before it refuse it; a wrong guess only means the longer
// walk from then on.
std::atomic<bool> g_openat2_missing{false};

// 0 when the kernel resolves path meeting no link, else the errno it gave.
int look_up_without_links(const char* path, LastLink last) {
    // O_PATH opens nothing: no permission on the file itself, no device
    // open, no blocking on a FIFO.
    OpenHow how = {};
    how.flags = O_PATH | O_CLOEXEC | (last == LastLink::followed ? 0 : O_NOFOLLOW);
    how.resolve = k_resolve_no_symlinks;
    long fd;
    do {
        fd = syscall(k_nr_openat2, AT_FDCWD, path, &how, sizeof(how));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOSYS || errno == EPERM) g_openat2_missing.store(true, std::memory_order_relaxed);
        return errno;
    }
    close(static_cast<int>(fd));
    return 0;
}

}  // namespace

bool is_free_of_links(const char* path, LastLink last) {
    if (g_openat2_missing.load(std::memory_order_relaxed)) return false;
    int error = look_up_without_links(path, last);
    if (error != ENOENT) return error == 0;
    // A last name that does not exist yet (a file about to be created) is
    // no link: the path is free of them when its directory is.
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) return false;
    const char* name = slash + 1;
    if (name[0] == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    char directory[k_path_size];
    size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (n > k_path_max) return false;
    memcpy(directory, path, n);
    directory[n] = 0;
    return look_up_without_links(directory, LastLink::followed) == 0;
}
