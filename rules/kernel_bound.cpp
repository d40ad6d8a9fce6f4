#include "rules/kernel_bound.h"

#include <string.h>

#include "rules/path_rules.h"

namespace {

// Terminals need their ioctls; the other devices need only reading and
// writing.
constexpr const char* k_devices[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};
constexpr const char* k_terminals[] = {"/dev/tty", "/dev/pts", "/dev/ptmx"};

bool is_special(char c) {
    return strchr(".[]()*+?{}|\\$^", c) != nullptr;
}

struct Filler {
    BoundEntry* out;
    size_t capacity;
    size_t count = 0;
    bool overflowed = false;

    void add(const char* path, BoundRights rights) {
        if (path == nullptr || path[0] == 0) return;
        if (count == capacity) {
            overflowed = true;
            return;
        }
        out[count++] = {path, rights};
    }
};

}  // namespace

void name_pattern_directory(const char* pattern, char (&out)[k_path_size]) {
    memcpy(out, "/", 2);
    if (strncmp(pattern, "^/", 2) != 0 || strchr(pattern, '|') != nullptr) return;
    const char* start = pattern + 1;
    size_t fixed = 0;
    while (start[fixed] != 0 && !is_special(start[fixed]) && fixed + 1 < k_path_size) ++fixed;
    if (fixed > 0 && start[fixed] != 0 && strchr("*?{", start[fixed]) != nullptr) --fixed;
    size_t last_slash = 0;
    for (size_t i = 0; i < fixed; ++i) {
        if (start[i] == '/') last_slash = i;
    }
    if (last_slash == 0) return;
    memcpy(out, start, last_slash);
    out[last_slash] = 0;
}

bool is_within_bound(const BoundEntry* entries, size_t count, const char* path, Access access) {
    if (access == ACCESS_STAT) return true;
    const bool writes = access == ACCESS_WRITE || access == ACCESS_DELETE;
    for (size_t i = 0; i < count; ++i) {
        const BoundEntry& entry = entries[i];
        switch (entry.rights) {
        case BoundRights::read_exec_except:
            if (!writes && !is_subpath(path, entry.path)) return true;
            break;
        case BoundRights::read_exec:
            if (!writes && is_subpath(path, entry.path)) return true;
            break;
        case BoundRights::write:
            if (is_subpath(path, entry.path)) return true;
            break;
        case BoundRights::device:
        case BoundRights::terminal:
            if (access != ACCESS_EXEC && access != ACCESS_DELETE && is_subpath(path, entry.path)) return true;
            break;
        }
    }
    return false;
}

long build_bound(const Policy& policy, BoundEntry* out, size_t capacity, char (*pattern_dirs)[k_path_size],
                 size_t pattern_slots) {
    Filler fill{out, capacity};
    const char* hidden = policy.hidden_root;
    if (hidden == nullptr || hidden[0] == 0) {
        fill.add("/", BoundRights::read_exec);
    } else if (strcmp(hidden, "/") != 0) {
        fill.add(hidden, BoundRights::read_exec_except);
    }
    for (uint64_t i = 0; i < policy.visible_tree.count; ++i)
        fill.add(policy.visible_tree.items[i], BoundRights::read_exec);
    for (uint64_t i = 0; i < policy.write_allow.count; ++i) fill.add(policy.write_allow.items[i], BoundRights::write);
    for (uint64_t i = 0; i < policy.write_patterns.count; ++i) {
        if (i >= pattern_slots) return -1;
        name_pattern_directory(policy.write_patterns.items[i], pattern_dirs[i]);
        fill.add(pattern_dirs[i], BoundRights::write);
    }
    // The tree's own process entries are always its to read, and
    // /proc/self/exe its to run again.
    fill.add("/proc", BoundRights::read_exec);
    for (const char* device : k_devices) fill.add(device, BoundRights::device);
    for (const char* terminal : k_terminals) fill.add(terminal, BoundRights::terminal);
    return fill.overflowed ? -1 : static_cast<long>(fill.count);
}
