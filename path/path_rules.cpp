#include "path/path_rules.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "rules/process_tree.h"

namespace {

int list_has_exact(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        const char* entry = list->items[i];
        if (entry != nullptr && entry[0] != 0 && strcmp(entry, path) == 0) return 1;
    }
    return 0;
}

// An entry that lies strictly below path: removing or renaming path would
// carry it out of its protection.
int list_has_entry_below(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        const char* entry = list->items[i];
        if (entry != nullptr && entry[0] != 0 && strcmp(entry, path) != 0 && is_subpath(entry, path)) return 1;
    }
    return 0;
}

int is_digit(char c) {
    return c >= '0' && c <= '9';
}

int is_process_path(const char* path) {
    return strncmp(path, "/proc/", 6) == 0 && is_digit(path[6]);
}

// "/fd/" followed by digits and nothing else: the one place below a process
// entry that names a descriptor rather than the process itself.
int is_descriptor_tail(const char* tail) {
    if (strncmp(tail, "/fd/", 4) != 0 || !is_digit(tail[4])) return 0;
    for (const char* c = tail + 4; *c != 0; ++c) {
        if (!is_digit(*c)) return 0;
    }
    return 1;
}

int judge_process_path(const char* path, int access, int child_pid, int supervisor_pid) {
    int pid = static_cast<int>(strtol(path + 6, nullptr, 10));
    if (!is_in_sandbox_tree(pid, child_pid, supervisor_pid)) return 0;
    if (access == ACCESS_WRITE || access == ACCESS_DELETE) {
        const char* tail = path + 6;
        while (is_digit(*tail)) ++tail;
        return is_descriptor_tail(tail);
    }
    return 1;
}

int has_windows_program_suffix(const char* path) {
    size_t length = strlen(path);
    if (length <= 3) return 0;
    const char* suffix = path + length - 4;
    static const char* const k_banned[] = {".exe", ".cmd", ".bat", ".ps1", ".com"};
    for (const char* banned : k_banned) {
        if (strcasecmp(suffix, banned) == 0) return 1;
    }
    return 0;
}

int is_interop_path(const char* path) {
    return is_subpath(path, "/mnt") || is_subpath(path, "/run/WSL") || strcmp(path, "/init") == 0;
}

// A '/' then ".git" in any case, ending at '/' or at the end of the path.
int has_git_component(const char* path) {
    for (const char* c = path; *c != 0; ++c) {
        if (c[0] == '/' && c[1] == '.' && strncasecmp(c + 2, "git", 3) == 0 && (c[5] == '/' || c[5] == 0)) return 1;
    }
    return 0;
}

int matches_write_pattern(const Policy* policy, const char* path) {
    for (uint64_t i = 0; i < policy->write_patterns.count; ++i) {
        if (regexec(&policy->write_regexes[i], path, 0, nullptr, 0) == 0) return 1;
    }
    return 0;
}

}  // namespace

int is_subpath(const char* path, const char* prefix) {
    if (prefix == nullptr || prefix[0] == 0) return 0;
    if (prefix[0] == '/' && prefix[1] == 0) return path[0] == '/';
    size_t n = strlen(prefix);
    return strncmp(path, prefix, n) == 0 && (path[n] == 0 || path[n] == '/');
}

int list_has_subpath(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        if (is_subpath(path, list->items[i])) return 1;
    }
    return 0;
}

int is_single_path_allowed(const Policy* policy, const char* path, int access, int child_pid, int supervisor_pid,
                           int canonical) {
    if (is_process_path(path)) return judge_process_path(path, access, child_pid, supervisor_pid);

    if (access == ACCESS_EXEC) {
        if (is_subpath(path, "/run/WSL")) return 0;
        if (is_subpath(path, "/mnt") && has_windows_program_suffix(path)) return 0;
        if (strcmp(path, "/init") == 0) return 0;
    }
    if (canonical && is_interop_path(path)) {
        int named = list_has_subpath(&policy->visible_tree, path) || list_has_subpath(&policy->write_allow, path) ||
                    (access == ACCESS_STAT && list_has_exact(&policy->stat_allow, path));
        if (!named) return 0;
    }

    int hidden = canonical && is_subpath(path, policy->hidden_root) && !list_has_subpath(&policy->visible_tree, path);
    int exact_denied = list_has_exact(&policy->deny_exact, path) ||
                       (policy->deny_single[0] != 0 && strcmp(path, policy->deny_single) == 0);
    int tree_denied = list_has_subpath(&policy->deny_tree, path);
    if (hidden || exact_denied || tree_denied) {
        return access == ACCESS_STAT && !exact_denied && !tree_denied && list_has_exact(&policy->stat_allow, path);
    }

    if (access != ACCESS_WRITE && access != ACCESS_DELETE) return 1;

    if (has_git_component(path) && !list_has_subpath(&policy->git_write_allow, path)) return 0;
    if (list_has_subpath(&policy->write_deny, path)) return 0;
    if (access == ACCESS_DELETE) {
        if (list_has_exact(&policy->delete_deny_exact, path)) return 0;
        const char* single = policy->deny_single;
        if (list_has_entry_below(&policy->deny_tree, path) || list_has_entry_below(&policy->deny_exact, path) ||
            list_has_entry_below(&policy->write_deny, path) || list_has_entry_below(&policy->delete_deny_exact, path) ||
            (single[0] != 0 && strcmp(single, path) != 0 && is_subpath(single, path))) {
            return 0;
        }
    }
    if (!canonical) return 1;

    if (strcmp(path, "/dev/null") == 0 || is_subpath(path, "/dev/fd")) return 1;
    if (list_has_subpath(&policy->write_allow, path)) return 1;
    return matches_write_pattern(policy, path);
}
