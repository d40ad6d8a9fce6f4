// The inter-process objects the sandbox tree made during the run: System V
// ids (the supervisor makes them on the tree's behalf and so knows each
// one) and the names of POSIX message queues and /dev/shm objects (recorded
// when a call that may make one is let through for a name that did not
// exist). Shared by the judging threads, under a lock that only calls on
// such objects take. Fixed capacity, no allocation: when full, entries whose object is
// gone are dropped, and if none is, nothing more is recorded.
#pragma once

#include <pthread.h>
#include <stddef.h>

#include "base/call_table.h"
#include "rules/ipc_rules.h"

inline constexpr size_t k_max_tree_ids = 1024;
inline constexpr size_t k_max_tree_names = 256;
inline constexpr size_t k_tree_name_size = 256;  // NAME_MAX and its NUL

struct TreeObjects {
    struct Id {
        IpcKind kind;
        int id;
    };
    struct Name {
        NamedKind kind;
        char text[k_tree_name_size];
    };
    Id ids[k_max_tree_ids];
    size_t id_count;
    Name names[k_max_tree_names];
    size_t name_count;
    // The judging threads share the record: held while it is read or changed.
    mutable pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
};

[[nodiscard]] bool has_tree_id(const TreeObjects& made, IpcKind kind, int id);
// False when the record is full of objects that still exist.
[[nodiscard]] bool record_tree_id(TreeObjects* made, IpcKind kind, int id);

[[nodiscard]] bool has_tree_name(const TreeObjects& made, NamedKind kind, const char* name);
[[nodiscard]] bool record_tree_name(TreeObjects* made, NamedKind kind, const char* name);

// Whether an object of that kind and name exists now, as the supervisor
// sees it; an object it may not open counts as existing.
[[nodiscard]] bool does_named_object_exist(NamedKind kind, const char* name);
