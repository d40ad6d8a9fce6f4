// The kernel's outer bound on the tree (Landlock, where the kernel has it):
// the trees and files each right may reach, derived from the policy and
// always at least as wide as it. The rules only add up, so every denial
// inside an allowed tree stays with the supervisor.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/access.h"
#include "path/normalize.h"
#include "policy/policy.h"

enum class BoundRights : uint8_t {
    read_exec,         // read files, list directories, execute, beneath path
    read_exec_except,  // the same beneath every entry of every directory above path, but not path itself
    write,             // read and execute, then write, make, remove, rename and truncate beneath path
    device,            // read and write the one device path
    terminal,          // the same, with the devices' ioctls (raw mode, window size, new terminals)
};

struct BoundEntry {
    const char* path;  // the policy's own text, or a fixed path
    BoundRights rights;
};

// The most entries a policy's bound may have; build_bound fails past it.
inline constexpr size_t k_bound_entries_max = 1024;

// Fills out with the policy's bound: the visible trees (or everything
// outside the hidden root), the writable trees and the directories the write
// patterns can reach, /proc, and the devices programs need. Returns the
// count, or -1 when out would overflow. A write pattern is bound by the
// directory its fixed start names, at least "/"; its text is written into
// pattern_dirs (one k_path_size slot per pattern), which the entries point
// into.
[[nodiscard]] long build_bound(const Policy& policy, BoundEntry* out, size_t capacity,
                               char (*pattern_dirs)[k_path_size], size_t pattern_slots);

// Whether the bound lets access to path through, by the entries alone (the
// command's own descriptors, message queues, and writable trees that do not
// exist yet, whose rules depend on the machine, are not in them). Metadata
// is never bound.
[[nodiscard]] bool is_within_bound(const BoundEntry* entries, size_t count, const char* path, Access access);

// The directory a write pattern's matches all lie beneath: the fixed text
// after "^/", up to its last "/" before the first character a regular
// expression treats specially (a quantifier makes the character before it
// optional). "/" for a pattern that is not anchored at "^/" or has
// alternatives.
void name_pattern_directory(const char* pattern, char (&out)[k_path_size]);
