#include "path/link_free.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "launcher/kernel_abi.h"
#include "path/normalize.h"

namespace {

// Set once openat2 turns out to be missing, or refused as container
// profiles written before it refuse it; a wrong guess only means the longer
// walk from then on.
int g_openat2_missing = 0;

// 0 when the kernel resolves path meeting no link, else the errno it gave.
int look_up_without_links(const char* path, int follow) {
    // O_PATH opens nothing: no permission on the file itself, no device
    // open, no blocking on a FIFO.
    OpenHow how = {};
    how.flags = O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    how.resolve = k_resolve_no_symlinks;
    long fd;
    do {
        fd = syscall(k_nr_openat2, AT_FDCWD, path, &how, sizeof(how));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOSYS || errno == EPERM) g_openat2_missing = 1;
        return errno;
    }
    close(static_cast<int>(fd));
    return 0;
}

}  // namespace

int is_free_of_links(const char* path, int follow) {
    if (g_openat2_missing) return 0;
    int error = look_up_without_links(path, follow);
    if (error != ENOENT) return error == 0;
    // A last name that does not exist yet (a file about to be created) is
    // no link: the path is free of them when its directory is.
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) return 0;
    const char* last = slash + 1;
    if (last[0] == 0 || strcmp(last, ".") == 0 || strcmp(last, "..") == 0) return 0;
    char directory[k_path_size];
    size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (n > k_path_max) return 0;
    memcpy(directory, path, n);
    directory[n] = 0;
    return look_up_without_links(directory, 1) == 0;
}
