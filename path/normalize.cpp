#include "path/normalize.h"

#include <stdio.h>
#include <string.h>

#include "proc/process_tree.h"

namespace {

bool has_prefix_component(const char* path, const char* prefix, size_t n) {
    return strncmp(path, prefix, n) == 0 && (path[n] == '/' || path[n] == 0);
}

bool fits(int written) {
    return written >= 0 && static_cast<size_t>(written) <= k_path_max;
}

}  // namespace

bool rewrite_proc_self(const char* path, pid_t tracee_pid, char* out) {
    int written;
    if (has_prefix_component(path, "/proc/self", 10)) {
        written = snprintf(out, k_path_size, "/proc/%d%s", thread_group_of(tracee_pid), path + 10);
    } else if (has_prefix_component(path, "/proc/thread-self", 17)) {
        written = snprintf(out, k_path_size, "/proc/%d/task/%d%s", thread_group_of(tracee_pid), tracee_pid, path + 17);
    } else {
        size_t n = strlen(path);
        if (n > k_path_max) return false;
        memcpy(out, path, n + 1);
        return true;
    }
    return fits(written);
}

bool normalize_lexical(const char* path, char* out) {
    struct Component {
        const char* start;
        size_t length;
    };
    Component kept[k_max_components];
    int count = 0;
    const char* c = path;
    for (;;) {
        while (*c == '/') ++c;
        if (*c == 0) break;
        const char* start = c;
        while (*c != 0 && *c != '/') ++c;
        size_t length = static_cast<size_t>(c - start);
        if (length == 1 && start[0] == '.') continue;
        if (length == 2 && start[0] == '.' && start[1] == '.') {
            if (count > 0) --count;
            continue;
        }
        if (count == k_max_components) return false;
        kept[count++] = {start, length};
    }

    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        if (at + 1 + kept[i].length > k_path_max) return false;
        out[at++] = '/';
        memcpy(out + at, kept[i].start, kept[i].length);
        at += kept[i].length;
    }
    if (at == 0) out[at++] = '/';
    out[at] = 0;
    return true;
}

void join_path(char* out, const char* dir, const char* name) {
    size_t name_length = strlen(name);
    if (dir[0] == '/' && dir[1] == 0) {
        size_t n = name_length < k_path_max - 1 ? name_length : k_path_max - 1;
        out[0] = '/';
        memcpy(out + 1, name, n);
        out[1 + n] = 0;
        return;
    }
    size_t d = strlen(dir);
    if (d > k_path_max - 1) d = k_path_max - 1;
    memcpy(out, dir, d);
    out[d] = '/';
    size_t room = k_path_max - 1 - d;
    size_t n = name_length < room ? name_length : room;
    memcpy(out + d + 1, name, n);
    out[d + 1 + n] = 0;
}
