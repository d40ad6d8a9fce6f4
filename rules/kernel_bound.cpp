#include "rules/kernel_bound.h"

#include <string.h>

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
    const char* start = pattern[0] == '^' ? pattern + 1 : pattern;
    size_t fixed = 0;
    while (start[fixed] != 0 && !is_special(start[fixed]) && fixed + 1 < sizeof(out)) ++fixed;
    size_t last_slash = 0;
    bool has_slash = false;
    for (size_t i = 0; i < fixed; ++i) {
        if (start[i] == '/') {
            last_slash = i;
            has_slash = true;
        }
    }
    // A pattern that does not start with "/" may match anywhere.
    if (!has_slash || start[0] != '/' || last_slash == 0) {
        memcpy(out, "/", 2);
        return;
    }
    memcpy(out, start, last_slash);
    out[last_slash] = 0;
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
    for (uint64_t i = 0; i < policy.visible_tree.count; ++i) fill.add(policy.visible_tree.items[i], BoundRights::read_exec);
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
