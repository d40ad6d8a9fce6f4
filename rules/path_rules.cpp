#include "rules/path_rules.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "proc/process_tree.h"

namespace {

// The first non-empty entry equal to path, or null.
const char* find_exact(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        const char* entry = list->items[i];
        if (entry != nullptr && entry[0] != 0 && strcmp(entry, path) == 0) return entry;
    }
    return nullptr;
}

// An entry that lies strictly below path: removing or renaming path would
// carry it out of its protection.
const char* find_entry_below(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        const char* entry = list->items[i];
        if (entry != nullptr && entry[0] != 0 && strcmp(entry, path) != 0 && is_subpath(entry, path)) return entry;
    }
    return nullptr;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_process_path(const char* path) {
    return strncmp(path, "/proc/", 6) == 0 && is_digit(path[6]);
}

// "/fd/" followed by digits and nothing else: the one place below a process
// entry that names a descriptor rather than the process itself.
bool is_descriptor_tail(const char* tail) {
    if (strncmp(tail, "/fd/", 4) != 0 || !is_digit(tail[4])) return false;
    for (const char* c = tail + 4; *c != 0; ++c) {
        if (!is_digit(*c)) return false;
    }
    return true;
}

bool has_windows_program_suffix(const char* path) {
    size_t length = strlen(path);
    if (length <= 3) return false;
    const char* suffix = path + length - 4;
    static const char* const k_banned[] = {".exe", ".cmd", ".bat", ".ps1", ".com"};
    for (const char* banned : k_banned) {
        if (strcasecmp(suffix, banned) == 0) return true;
    }
    return false;
}

bool is_interop_path(const char* path) {
    return is_subpath(path, "/mnt") || is_subpath(path, "/run/WSL") || strcmp(path, "/init") == 0;
}

// A '/' then ".git" in any case, ending at '/' or at the end of the path.
bool has_git_component(const char* path) {
    for (const char* c = path; *c != 0; ++c) {
        if (c[0] == '/' && c[1] == '.' && strncasecmp(c + 2, "git", 3) == 0 && (c[5] == '/' || c[5] == 0)) return true;
    }
    return false;
}

const char* find_write_pattern(const Policy* policy, const char* path) {
    for (uint64_t i = 0; i < policy->write_patterns.count; ++i) {
        if (regexec(&policy->write_regexes[i], path, 0, nullptr, 0) == 0) return policy->write_patterns.items[i];
    }
    return nullptr;
}

// Every verdict of the rules leaves through here.
bool decide(RuleVerdict* why, bool allowed, RuleStep step, const char* entry = nullptr) {
    if (why != nullptr) {
        why->allowed = allowed;
        why->step = step;
        why->entry = entry;
    }
    return allowed;
}

// A process that left the tree's parent chain (re-parented to the
// supervisor) is still one whose calls are trapped: its own entries are its
// own.
bool is_own_process(pid_t pid, pid_t caller) {
    return caller > 0 && pid == thread_group_of(caller);
}

bool judge_process_path(const char* path, Access access, const SandboxTree& tree, pid_t caller, RuleVerdict* why) {
    pid_t pid = static_cast<pid_t>(strtol(path + 6, nullptr, 10));
    bool member = (caller > 0 && pid == caller) || is_in_sandbox_tree(pid, tree) || is_own_process(pid, caller);
    if (!member) return decide(why, false, STEP_PROCESS_OUTSIDE_TREE);
    if (access == ACCESS_WRITE || access == ACCESS_DELETE) {
        const char* tail = path + 6;
        while (is_digit(*tail)) ++tail;
        if (!is_descriptor_tail(tail)) return decide(why, false, STEP_PROCESS_WRITE_NOT_DESCRIPTOR);
    }
    return decide(why, true, STEP_PROCESS_IN_TREE);
}

// Denials that protect what lies below a path being deleted or renamed.
const char* find_protected_below(const Policy* policy, const char* path) {
    const char* entry = find_entry_below(&policy->deny_tree, path);
    if (entry == nullptr) entry = find_entry_below(&policy->deny_exact, path);
    if (entry == nullptr) entry = find_entry_below(&policy->write_deny, path);
    if (entry == nullptr) entry = find_entry_below(&policy->delete_deny_exact, path);
    const char* single = policy->deny_single;
    if (entry == nullptr && single[0] != 0 && strcmp(single, path) != 0 && is_subpath(single, path)) entry = single;
    return entry;
}

}  // namespace

int path_refusal_errno(const Policy* policy, RuleStep step, const char* path) {
    const bool missing = step == STEP_HIDDEN && policy != nullptr && policy->hidden_missing != 0 &&
                         find_exact(&policy->stat_allow, path) == nullptr;
    return missing ? ENOENT : EACCES;
}

bool is_subpath(const char* path, const char* prefix) {
    if (prefix == nullptr || prefix[0] == 0) return false;
    if (prefix[0] == '/' && prefix[1] == 0) return path[0] == '/';
    // One pass over both strings: every entry of every list is tried on
    // each check.
    while (*prefix != 0 && *path == *prefix) {
        ++path;
        ++prefix;
    }
    return *prefix == 0 && (*path == 0 || *path == '/');
}

const char* find_subpath_entry(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        if (is_subpath(path, list->items[i])) return list->items[i];
    }
    return nullptr;
}

bool list_has_subpath(const StringList* list, const char* path) {
    return find_subpath_entry(list, path) != nullptr;
}

bool is_single_path_allowed(const Policy* policy, const char* path, Access access, const SandboxTree& tree,
                            PathForm form) {
    return judge_single_path(policy, path, access, tree, 0, form, nullptr);
}

bool judge_single_path(const Policy* policy, const char* path, Access access, const SandboxTree& tree, pid_t caller,
                       PathForm form, RuleVerdict* why) {
    if (is_process_path(path)) return judge_process_path(path, access, tree, caller, why);
    // A userfaultfd lets the tree park the supervisor's reads of its memory
    // on page faults it controls.
    if (strcmp(path, "/dev/userfaultfd") == 0) return decide(why, false, STEP_USERFAULTFD);
    const bool canonical = form == PathForm::resolved;
    if (access == ACCESS_EXEC) {
        if (is_subpath(path, "/run/WSL")) return decide(why, false, STEP_WSL_EXEC);
        if (is_subpath(path, "/mnt") && has_windows_program_suffix(path)) return decide(why, false, STEP_WSL_EXEC);
        if (strcmp(path, "/init") == 0) return decide(why, false, STEP_WSL_EXEC);
    }
    if (canonical && is_interop_path(path)) {
        bool named = list_has_subpath(&policy->visible_tree, path) || list_has_subpath(&policy->write_allow, path) ||
                     (access == ACCESS_STAT && find_exact(&policy->stat_allow, path) != nullptr);
        if (!named) return decide(why, false, STEP_WSL_HIDDEN);
    }

    const char* exact = find_exact(&policy->deny_exact, path);
    if (exact == nullptr && policy->deny_single[0] != 0 && strcmp(path, policy->deny_single) == 0) {
        exact = policy->deny_single;
    }
    const char* denied = find_subpath_entry(&policy->deny_tree, path);
    bool hidden = canonical && is_subpath(path, policy->hidden_root) && !list_has_subpath(&policy->visible_tree, path);
    if (exact != nullptr) return decide(why, false, STEP_DENY_EXACT, exact);
    if (denied != nullptr) return decide(why, false, STEP_DENY_TREE, denied);
    if (hidden) {
        const char* stat_entry = access == ACCESS_STAT ? find_exact(&policy->stat_allow, path) : nullptr;
        if (stat_entry != nullptr) return decide(why, true, STEP_STAT_ALLOW, stat_entry);
        return decide(why, false, STEP_HIDDEN, policy->hidden_root);
    }

    if (access != ACCESS_WRITE && access != ACCESS_DELETE) return decide(why, true, STEP_VISIBLE);

    if (has_git_component(path)) {
        const char* git = find_subpath_entry(&policy->git_write_allow, path);
        if (git == nullptr) return decide(why, false, STEP_GIT);
    }
    const char* kept = find_subpath_entry(&policy->write_deny, path);
    if (kept != nullptr) return decide(why, false, STEP_WRITE_DENY, kept);
    if (access == ACCESS_DELETE) {
        const char* undeletable = find_exact(&policy->delete_deny_exact, path);
        if (undeletable != nullptr) return decide(why, false, STEP_DELETE_DENY, undeletable);
        const char* below = find_protected_below(policy, path);
        if (below != nullptr) return decide(why, false, STEP_PROTECTED_BELOW, below);
    }
    if (!canonical) return decide(why, true, STEP_LEXICAL_WRITE);

    if (strcmp(path, "/dev/null") == 0 || is_subpath(path, "/dev/fd")) return decide(why, true, STEP_DEVICE);
    const char* writable = find_subpath_entry(&policy->write_allow, path);
    if (writable != nullptr) return decide(why, true, STEP_WRITE_ALLOW, writable);
    const char* pattern = find_write_pattern(policy, path);
    if (pattern != nullptr) return decide(why, true, STEP_WRITE_PATTERN, pattern);
    return decide(why, false, STEP_NOT_WRITABLE);
}
