#include "path/link_free.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "launcher/kernel_abi.h"

namespace {

// Set once openat2 is known to be missing; the answer cannot change while
// the program runs, and a stale 0 only means the longer walk.
int g_openat2_missing = 0;

}  // namespace

int is_free_of_links(const char* path, int follow) {
    if (g_openat2_missing) return 0;
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
        if (errno == ENOSYS) g_openat2_missing = 1;
        return 0;
    }
    close(static_cast<int>(fd));
    return 1;
}
