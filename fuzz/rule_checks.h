// The invariants of the path rules that hold whatever the policy and the
// path, shared by the policy and path-rule targets.
#pragma once

#include <regex.h>
#include <string.h>
#include <strings.h>

#include "fuzz_support.h"
#include "rules/path_rules.h"

namespace fuzz {

inline const char* access_name(int access) {
    static const char* const k_names[] = {"?", "stat", "read", "write", "delete", "exec"};
    return access >= 1 && access <= 5 ? k_names[access] : "?";
}

// A component equal to ".git" in any case: what the README calls a path
// with a .git component (the rules compare without case, as file systems
// shared with Windows and macOS do).
inline int has_git_component(const char* path) {
    for (const char* c = path; *c != 0;) {
        while (*c == '/') ++c;
        size_t n = strcspn(c, "/");
        if (n == 4 && strncasecmp(c, ".git", 4) == 0) return 1;
        c += n;
    }
    return 0;
}

inline int matches_write_pattern(const Policy* policy, const char* path) {
    for (uint64_t i = 0; i < policy->write_patterns.count; ++i) {
        if (regexec(&policy->write_regexes[i], path, 0, nullptr, 0) == 0) return 1;
    }
    return 0;
}

inline int is_denied_by_lists(const Policy* policy, const char* path) {
    if (fuzz_list_has_exact(&policy->deny_exact, path)) return 1;
    if (policy->deny_single[0] != 0 && strcmp(policy->deny_single, path) == 0) return 1;
    return fuzz_list_covers(&policy->deny_tree, path);
}

// An entry strictly below path, which deleting or renaming path would carry
// out of its protection.
inline int protects_below(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        const char* entry = list->items[i];
        if (entry[0] != 0 && strcmp(entry, path) != 0 && fuzz_covers(entry, path)) return 1;
    }
    return 0;
}

inline int has_protected_below(const Policy* policy, const char* path) {
    const char* single = policy->deny_single;
    return protects_below(&policy->deny_tree, path) || protects_below(&policy->deny_exact, path) ||
           protects_below(&policy->write_deny, path) || protects_below(&policy->delete_deny_exact, path) ||
           (single[0] != 0 && strcmp(single, path) != 0 && fuzz_covers(single, path));
}

inline int is_hidden(const Policy* policy, const char* path) {
    return fuzz_covers(path, policy->hidden_root) && !fuzz_list_covers(&policy->visible_tree, path);
}

// What the verdict names must fit the decision it explains.
inline void check_verdict(const Policy* policy, const char* path, Access access, int canonical,
                          const RuleVerdict& why) {
    const char* entry = why.entry;
    switch (why.step) {
    case STEP_DENY_EXACT:
        if (entry == nullptr || strcmp(entry, path) != 0) {
            fuzz_fail("deny_exact verdict names another entry for %s", path);
        }
        break;
    case STEP_DENY_TREE:
    case STEP_WRITE_DENY:
        if (entry == nullptr || !fuzz_covers(path, entry)) fuzz_fail("subtree verdict entry does not cover %s", path);
        break;
    case STEP_WRITE_ALLOW:
        if (entry == nullptr || !fuzz_covers(path, entry) || !fuzz_list_covers(&policy->write_allow, path)) {
            fuzz_fail("write_allow verdict entry does not cover %s", path);
        }
        break;
    case STEP_STAT_ALLOW:
        if (access != ACCESS_STAT || !canonical || entry == nullptr || strcmp(entry, path) != 0) {
            fuzz_fail("stat_allow verdict for %s (%s, stage %d)", path, access_name(access), canonical);
        }
        break;
    case STEP_HIDDEN:
        if (!canonical) fuzz_fail("hiding applied to the path as written: %s", path);
        break;
    case STEP_LEXICAL_WRITE:
        if (canonical) fuzz_fail("the lexical write step in the canonical stage: %s", path);
        break;
    default: break;
    }
}

// "/proc/N/fd/M": the only process path that may be written.
inline int is_descriptor_path(const char* path) {
    const char* c = path + 6;
    while (*c >= '0' && *c <= '9') ++c;
    if (strncmp(c, "/fd/", 4) != 0) return 0;
    c += 4;
    if (*c == 0) return 0;
    while (*c >= '0' && *c <= '9') ++c;
    return *c == 0;
}

// Every class in both stages of one path. Any string must get a decision
// of 0 or 1 and the same one with and without a verdict; what the lists
// imply is checked on absolute paths, the only ones the program judges.
inline void check_rules(const Policy* policy, const char* path, int child_pid, int supervisor_pid) {
    const int exempt = fuzz_is_process_path(path) || path[0] != '/';
    const int listed_denial = !exempt && is_denied_by_lists(policy, path);
    const SandboxTree tree = {child_pid, -1, supervisor_pid};
    for (Access access : {ACCESS_STAT, ACCESS_READ, ACCESS_WRITE, ACCESS_DELETE, ACCESS_EXEC}) {
        int decision[2];
        for (int canonical = 0; canonical <= 1; ++canonical) {
            const PathForm form = canonical ? PathForm::resolved : PathForm::as_written;
            RuleVerdict why;
            memset(&why, 0x5a, sizeof(why));
            bool d = judge_single_path(policy, path, access, tree, 0, form, &why);
            decision[canonical] = d;
            if (why.allowed != d) fuzz_fail("verdict says %d, decision %d for %s", why.allowed, d, path);
            if (why.step < STEP_PROCESS_IN_TREE || why.step > STEP_USERFAULTFD) {
                fuzz_fail("verdict step %d for %s", static_cast<int>(why.step), path);
            }
            bool plain = is_single_path_allowed(policy, path, access, tree, form);
            if (plain != d) fuzz_fail("with and without a verdict: %d and %d for %s", d, plain, path);
            check_verdict(policy, path, access, canonical, why);

            if (d && fuzz_is_process_path(path) && (access == ACCESS_WRITE || access == ACCESS_DELETE) &&
                !is_descriptor_path(path)) {
                fuzz_fail("process path %s allowed for %s", path, access_name(access));
            }
            if (exempt || !d) continue;
            // Allowed: no rule that denies may apply.
            if (listed_denial) {
                fuzz_fail("%s allowed for %s in stage %d though a deny entry names it", path, access_name(access),
                          canonical);
            }
            if (access == ACCESS_EXEC && (fuzz_covers(path, "/run/WSL") || strcmp(path, "/init") == 0)) {
                fuzz_fail("exec of the WSL interop path %s allowed", path);
            }
            if (canonical && is_hidden(policy, path) &&
                !(access == ACCESS_STAT && fuzz_list_has_exact(&policy->stat_allow, path))) {
                fuzz_fail("hidden %s allowed for %s", path, access_name(access));
            }
            if (access == ACCESS_WRITE || access == ACCESS_DELETE) {
                if (fuzz_list_covers(&policy->write_deny, path)) fuzz_fail("write_deny %s allowed", path);
                if (has_git_component(path) && !fuzz_list_covers(&policy->git_write_allow, path)) {
                    fuzz_fail(".git path %s allowed for %s outside git_write_allow", path, access_name(access));
                }
                if (canonical && !fuzz_list_covers(&policy->write_allow, path) &&
                    !matches_write_pattern(policy, path) && strcmp(path, "/dev/null") != 0 &&
                    !fuzz_covers(path, "/dev/fd")) {
                    fuzz_fail("%s allowed for %s with no write allowance", path, access_name(access));
                }
            }
            if (access == ACCESS_DELETE && fuzz_list_has_exact(&policy->delete_deny_exact, path)) {
                fuzz_fail("delete_deny_exact %s deleted", path);
            }
            if (access == ACCESS_DELETE && has_protected_below(policy, path)) {
                fuzz_fail("%s deleted with a protected entry below it", path);
            }
        }
        // The canonical stage applies every denial of the lexical one.
        if (decision[1] > decision[0]) {
            fuzz_fail("%s: lexical stage denies %s, canonical stage allows", path, access_name(access));
        }
    }
}

}  // namespace fuzz
