#include "path/operand.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "base/io.h"
#include "path/normalize.h"

bool ends_at_directory(const char* path) {
    size_t n = strlen(path);
    if (n > 0 && path[n - 1] == '/') return true;
    if (n >= 2 && strcmp(path + n - 2, "/.") == 0) return true;
    if (n >= 3 && strcmp(path + n - 3, "/..") == 0) return true;
    return strcmp(path, ".") == 0 || strcmp(path, "..") == 0;
}

bool name_base_directory(pid_t pid, int dirfd, char (&link)[64]) {
    if (dirfd == AT_FDCWD) {
        snprintf(link, sizeof(link), "/proc/%d/cwd", pid);
    } else if (dirfd < 0) {
        return false;
    } else {
        snprintf(link, sizeof(link), "/proc/%d/fd/%d", pid, dirfd);
    }
    return true;
}

bool read_base_directory(pid_t pid, int dirfd, char* out) {
    char link[64];
    return name_base_directory(pid, dirfd, link) && read_link(link, out, k_path_size) >= 1 && out[0] == '/';
}

bool join_absolute(const char* base, const char* relative, char* out) {
    int written = snprintf(out, k_path_size, "%s/%s", base, relative);
    return written >= 0 && static_cast<size_t>(written) <= k_path_max;
}
