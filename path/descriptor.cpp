#include "path/descriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "launcher/io.h"
#include "rules/process_tree.h"

namespace {

// Digits and nothing else; returns the number they spell or -1.
long parse_number(const char* text) {
    if (*text < '0' || *text > '9') return -1;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return *end == 0 && value <= 0x7fffffff ? value : -1;
}

}  // namespace

int name_descriptor_path(const char* path, int tracee_pid, char* link, char* fdinfo, size_t size) {
    if (strncmp(path, "/dev/fd/", 8) == 0) {
        long fd = parse_number(path + 8);
        if (fd < 0) return 0;
        // "/dev/fd" is "/proc/self/fd": the process's table, not the thread's.
        int group = thread_group_of(tracee_pid);
        snprintf(link, size, "/proc/%d/fd/%ld", group, fd);
        snprintf(fdinfo, size, "/proc/%d/fdinfo/%ld", group, fd);
        return 1;
    }
    if (strncmp(path, "/proc/", 6) != 0) return 0;
    const char* at = path + 6;
    char* end = nullptr;
    long pid = strtol(at, &end, 10);
    if (end == at || *at < '0' || *at > '9' || pid <= 0 || pid > 0x7fffffff) return 0;
    long thread = -1;
    if (strncmp(end, "/task/", 6) == 0) {
        at = end + 6;
        thread = strtol(at, &end, 10);
        if (end == at || *at < '0' || *at > '9' || thread <= 0 || thread > 0x7fffffff) return 0;
    }
    if (strncmp(end, "/fd/", 4) != 0) return 0;
    long fd = parse_number(end + 4);
    if (fd < 0) return 0;
    if (thread > 0) {
        snprintf(link, size, "/proc/%ld/task/%ld/fd/%ld", pid, thread, fd);
        snprintf(fdinfo, size, "/proc/%ld/task/%ld/fdinfo/%ld", pid, thread, fd);
    } else {
        snprintf(link, size, "/proc/%ld/fd/%ld", pid, fd);
        snprintf(fdinfo, size, "/proc/%ld/fdinfo/%ld", pid, fd);
    }
    return 1;
}

int read_descriptor_target(const char* link, char* out, size_t size) {
    ssize_t got;
    do {
        got = readlink(link, out, size);
    } while (got < 0 && errno == EINTR);
    if (got <= 0 || static_cast<size_t>(got) >= size) return -1;
    out[got] = 0;
    return static_cast<int>(got);
}

int is_path_target(const char* target) {
    return target[0] == '/' && strncmp(target, "/memfd:", 7) != 0;
}

int is_descriptor_open_for(const char* fdinfo, int want_write) {
    char text[256];
    if (read_small_file(fdinfo, text, sizeof(text)) <= 0) return 0;
    const char* field = strstr(text, "flags:");
    if (field == nullptr) return 0;
    unsigned long flags = strtoul(field + 6, nullptr, 8);
    if (flags & O_PATH) return 0;
    unsigned long mode = flags & O_ACCMODE;
    return want_write ? (mode == O_WRONLY || mode == O_RDWR) : (mode == O_RDONLY || mode == O_RDWR);
}
