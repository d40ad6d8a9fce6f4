// The path rules: whether the policy allows one access class on one path.
#pragma once

#include <sys/types.h>

#include "base/access.h"
#include "base/sandbox_tree.h"
#include "policy/policy.h"

// Whether path equals prefix or lies below it at a component boundary.
// A null or empty prefix covers nothing; "/" covers every absolute path.
[[nodiscard]] bool is_subpath(const char* path, const char* prefix);

// Whether some non-empty entry of list covers path.
[[nodiscard]] bool list_has_subpath(const StringList* list, const char* path);

// The first non-empty entry of list that covers path, or null.
const char* find_subpath_entry(const StringList* list, const char* path);

// The rule that decided a path, for people asking why.
enum RuleStep : int {
    STEP_PROCESS_IN_TREE = 1,           // a process path of the sandbox tree
    STEP_PROCESS_OUTSIDE_TREE,          // a process path of another process
    STEP_PROCESS_WRITE_NOT_DESCRIPTOR,  // writing a process path other than /fd/N
    STEP_WSL_EXEC,                      // executing in the WSL interop areas
    STEP_WSL_HIDDEN,                    // an interop area the policy does not name
    STEP_DENY_EXACT,                    // deny_exact or deny_single
    STEP_DENY_TREE,                     // deny_tree
    STEP_HIDDEN,                        // inside hidden_root, outside visible_tree
    STEP_STAT_ALLOW,                    // hidden, but its metadata may be read
    STEP_VISIBLE,                       // stat, read and exec of a visible path
    STEP_GIT,                           // a .git component outside git_write_allow
    STEP_WRITE_DENY,                    // write_deny
    STEP_DELETE_DENY,                   // delete_deny_exact
    STEP_PROTECTED_BELOW,               // deleting above a protected entry
    STEP_LEXICAL_WRITE,                 // the path as written passes; resolution decides
    STEP_DEVICE,                        // /dev/null and /dev/fd
    STEP_WRITE_ALLOW,                   // write_allow
    STEP_WRITE_PATTERN,                 // a write pattern
    STEP_NOT_WRITABLE,                  // no write allowance
    STEP_EXEC_WITHOUT_PATH,             // executing a descriptor no path names
    STEP_USERFAULTFD,                   // /dev/userfaultfd, which could stall the supervisor
};

struct RuleVerdict {
    bool allowed;
    RuleStep step;
    const char* entry;  // the policy entry that decided, if one did
};

// The errno a path refused by step answers with: ENOENT for a hidden one
// when the policy makes hidden paths missing, unless a stat_allow entry
// shows it (the tree can see that it exists); else EACCES.
[[nodiscard]] int path_refusal_errno(const Policy* policy, RuleStep step, const char* path);

// Which form of a path is judged: the path as written meets the denials
// only; a resolved path meets the denials and every positive requirement.
enum class PathForm : bool { as_written, resolved };

// Whether the policy allows access to path for a process of the tree.
[[nodiscard]] bool is_single_path_allowed(const Policy* policy, const char* path, Access access,
                                          const SandboxTree& tree, PathForm form);

// The same decision for a path that process caller named (0: none), also
// saying which rule made it when why is not null. The caller's own process
// entries are its own even when it has left the tree's parent chain (an
// orphan re-parented to the supervisor).
[[nodiscard]] bool judge_single_path(const Policy* policy, const char* path, Access access, const SandboxTree& tree,
                                     pid_t caller, PathForm form, RuleVerdict* why);
