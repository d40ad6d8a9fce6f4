#include "path/descriptor.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "proc/process_tree.h"

namespace {

// Digits and nothing else; returns the number they spell or -1.
long parse_number(const char* text) {
    if (*text < '0' || *text > '9') return -1;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return *end == 0 && value <= 0x7fffffff ? value : -1;
}

}  // namespace

bool name_descriptor_path(const char* path, pid_t tracee_pid, char* link, char* fdinfo, size_t size) {
    if (strncmp(path, "/dev/fd/", 8) == 0) {
        long fd = parse_number(path + 8);
        if (fd < 0) return false;
        // "/dev/fd" is "/proc/self/fd": the process's table, not the thread's.
        pid_t group = thread_group_of(tracee_pid);
        snprintf(link, size, "/proc/%d/fd/%ld", group, fd);
        snprintf(fdinfo, size, "/proc/%d/fdinfo/%ld", group, fd);
        return true;
    }
    if (strncmp(path, "/proc/", 6) != 0) return false;
    const char* at = path + 6;
    char* end = nullptr;
    long pid = strtol(at, &end, 10);
    if (end == at || *at < '0' || *at > '9' || pid <= 0 || pid > 0x7fffffff) return false;
    long thread = -1;
    if (strncmp(end, "/task/", 6) == 0) {
        at = end + 6;
        thread = strtol(at, &end, 10);
        if (end == at || *at < '0' || *at > '9' || thread <= 0 || thread > 0x7fffffff) return false;
    }
    if (strncmp(end, "/fd/", 4) != 0) return false;
    long fd = parse_number(end + 4);
    if (fd < 0) return false;
    if (thread > 0) {
        snprintf(link, size, "/proc/%ld/task/%ld/fd/%ld", pid, thread, fd);
        snprintf(fdinfo, size, "/proc/%ld/task/%ld/fdinfo/%ld", pid, thread, fd);
    } else {
        snprintf(link, size, "/proc/%ld/fd/%ld", pid, fd);
        snprintf(fdinfo, size, "/proc/%ld/fdinfo/%ld", pid, fd);
    }
    return true;
}

bool is_path_target(const char* target) {
    return target[0] == '/' && strncmp(target, "/memfd:", 7) != 0;
}

bool is_deleted_target(const char* target) {
    static const char k_mark[] = " (deleted)";
    const size_t n = strlen(target);
    const size_t m = sizeof(k_mark) - 1;
    return n >= m && strcmp(target + n - m, k_mark) == 0;
}
