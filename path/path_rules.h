// The path rules: whether the policy allows one access class on one path.
#pragma once

#include "launcher/policy.h"

enum Access : int {
    ACCESS_STAT = 1,
    ACCESS_READ = 2,
    ACCESS_WRITE = 3,
    ACCESS_DELETE = 4,
    ACCESS_EXEC = 5,
};

// 1 when path equals prefix or lies below it at a component boundary.
// A null or empty prefix covers nothing; "/" covers every absolute path.
int is_subpath(const char* path, const char* prefix);

// 1 when some non-empty entry of list covers path.
int list_has_subpath(const StringList* list, const char* path);

// The first non-empty entry of list that covers path, or null.
const char* find_subpath_entry(const StringList* list, const char* path);

// The rule that decided a path, for people asking why.
enum RuleStep : int {
    STEP_PROCESS_IN_TREE = 1,          // a process path of the sandbox tree
    STEP_PROCESS_OUTSIDE_TREE,         // a process path of another process
    STEP_PROCESS_WRITE_NOT_DESCRIPTOR, // writing a process path other than /fd/N
    STEP_WSL_EXEC,                     // executing in the WSL interop areas
    STEP_WSL_HIDDEN,                   // an interop area the policy does not name
    STEP_DENY_EXACT,                   // deny_exact or deny_single
    STEP_DENY_TREE,                    // deny_tree
    STEP_HIDDEN,                       // inside hidden_root, outside visible_tree
    STEP_STAT_ALLOW,                   // hidden, but its metadata may be read
    STEP_VISIBLE,                      // stat, read and exec of a visible path
    STEP_GIT,                          // a .git component outside git_write_allow
    STEP_WRITE_DENY,                   // write_deny
    STEP_DELETE_DENY,                  // delete_deny_exact
    STEP_PROTECTED_BELOW,              // deleting above a protected entry
    STEP_LEXICAL_WRITE,                // the path as written passes; resolution decides
    STEP_DEVICE,                       // /dev/null and /dev/fd
    STEP_WRITE_ALLOW,                  // write_allow
    STEP_WRITE_PATTERN,                // a write pattern
    STEP_NOT_WRITABLE,                 // no write allowance
};

struct RuleVerdict {
    int allowed;
    RuleStep step;
    const char* entry;  // the policy entry that decided, if one did
};

// 1 allows, 0 denies. canonical is 0 for the path as written (denials only)
// and 1 for a resolved path (denials and every positive requirement).
int is_single_path_allowed(const Policy* policy, const char* path, int access, int child_pid, int supervisor_pid,
                           int canonical);

// The same decision, also saying which rule made it when why is not null.
int judge_single_path(const Policy* policy, const char* path, int access, int child_pid, int supervisor_pid,
                      int canonical, RuleVerdict* why);

// The same for a path a tracee named: the tracee's own process entries are
// its own even when it has left the tree's parent chain (an orphan
// re-parented to the supervisor). tracee_pid 0 is no tracee.
int judge_path_of_tracee(const Policy* policy, const char* path, int access, int child_pid, int supervisor_pid,
                         int tracee_pid, int canonical, RuleVerdict* why);
