#include "rules/verdict_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

void set(VerdictText* out, const char* rule, const char* entry, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void set(VerdictText* out, const char* rule, const char* entry, const char* format, ...) {
    out->rule = rule;
    snprintf(out->entry, sizeof(out->entry), "%s", entry);
    va_list args;
    va_start(args, format);
    vsnprintf(out->reason, sizeof(out->reason), format, args);
    va_end(args);
}

void describe_visible(const Policy* policy, PathForm form, const char* path, VerdictText* out) {
    if (form == PathForm::as_written) {
        return set(out, "no_denial", "", "no denial applies to the path as written");
    }
    const char* visible = find_subpath_entry(&policy->visible_tree, path);
    if (visible != nullptr) {
        char entry[k_entry_text_size];
        snprintf(entry, sizeof(entry), "visible %s", visible);
        return set(out, "visible", entry, "visible under %s", entry);
    }
    const char* root = policy->hidden_root;
    if (root[0] == 0) return set(out, "visible", "", "visible: hidden_root is empty and hides nothing");
    char entry[k_entry_text_size];
    snprintf(entry, sizeof(entry), "hidden_root %s", root);
    set(out, "visible", entry, "visible: outside %s", entry);
}

}  // namespace

const char* name_of_access(Access access) {
    switch (access) {
    case ACCESS_STAT: return "stat";
    case ACCESS_READ: return "read";
    case ACCESS_WRITE: return "write";
    case ACCESS_DELETE: return "delete";
    case ACCESS_EXEC: return "exec";
    }
    return "";
}

const char* name_of_entry_rule(const Policy* policy, const char* entry) {
    struct Named {
        const StringList* list;
        const char* name;
    };
    const Named lists[] = {
        // clang-format off
        {&policy->visible_tree, "visible"},     {&policy->stat_allow, "stat_allow"},
        {&policy->deny_tree, "deny"},           {&policy->deny_exact, "deny_exact"},
        {&policy->write_allow, "write"},        {&policy->write_patterns, "write_pattern"},
        {&policy->write_deny, "write_deny"},    {&policy->delete_deny_exact, "delete_deny"},
        {&policy->git_write_allow, "git_write"},
        // clang-format on
    };
    for (const Named& named : lists) {
        for (uint64_t i = 0; i < named.list->count; ++i) {
            if (named.list->items[i] == entry) return named.name;
        }
    }
    if (entry == policy->hidden_root) return "hidden_root";
    if (entry == policy->deny_single) return "deny_single";
    return "entry";
}

void describe_path_verdict(const Policy* policy, const RuleVerdict& verdict, PathForm form, const char* path,
                           VerdictText* out) {
    const char* value = verdict.entry != nullptr ? verdict.entry : "";
    const char* rule = verdict.entry != nullptr ? name_of_entry_rule(policy, verdict.entry) : "";
    char named[k_entry_text_size];
    snprintf(named, sizeof(named), "%s%s%s", rule, verdict.entry != nullptr ? " " : "", value);
    switch (verdict.step) {
    case STEP_PROCESS_IN_TREE: return set(out, "process", "", "a process path of the sandbox tree");
    case STEP_PROCESS_OUTSIDE_TREE:
        return set(out, "process", "", "a process path of a process outside the sandbox tree");
    case STEP_PROCESS_WRITE_NOT_DESCRIPTOR:
        return set(out, "process", "", "a process path is written only through /proc/N/fd/M");
    case STEP_WSL_EXEC:
        return set(out, "wsl", "",
                   "nothing runs from the WSL interop areas (/run/WSL, Windows programs in /mnt, /init)");
    case STEP_WSL_HIDDEN:
        return set(out, "wsl", "", "a WSL interop area (/mnt, /run/WSL, /init) no visible, write or stat_allow names");
    case STEP_DENY_EXACT:
    case STEP_DENY_TREE:
    case STEP_WRITE_DENY:
    case STEP_DELETE_DENY: return set(out, rule, named, "denied by %s", named);
    case STEP_HIDDEN:
        return set(out, "hidden", named, "hidden: inside hidden_root %s and under no visible entry", value);
    case STEP_STAT_ALLOW: return set(out, "stat_allow", named, "hidden, but %s lets its metadata be read", named);
    case STEP_VISIBLE: return describe_visible(policy, form, path, out);
    case STEP_GIT: return set(out, "git", "", "a .git component outside every git_write entry");
    case STEP_PROTECTED_BELOW:
        return set(out, "protected_below", named, "deleting or renaming it would carry %s out of its protection",
                   named);
    case STEP_LEXICAL_WRITE:
        return set(out, "no_denial", "", "no denial applies to the path as written; the resolved path decides");
    case STEP_DEVICE: return set(out, "device", "", "/dev/null and /dev/fd need only be visible");
    case STEP_WRITE_ALLOW:
    case STEP_WRITE_PATTERN: return set(out, rule, named, "allowed by %s", named);
    case STEP_NOT_WRITABLE: return set(out, "not_writable", "", "under no write entry and matching no write_pattern");
    case STEP_EXEC_WITHOUT_PATH:
        return set(out, "exec_without_path", "", "a program no path names (a memory file, a deleted one) is never run");
    case STEP_USERFAULTFD: return set(out, "userfaultfd", "", "/dev/userfaultfd could stall the supervisor: refused");
    }
    set(out, "unknown", "", "no rule decided");
}

void describe_socket_verdict(const Policy* policy, const SocketVerdict& verdict, const char* address,
                             VerdictText* out) {
    static const char* const k_targets[] = {"", " is a loopback address", " is the any address (this machine)",
                                            " is an address of this machine"};
    const char* target =
        verdict.target >= TARGET_NONE && verdict.target <= TARGET_OWN_ADDRESS ? k_targets[verdict.target] : "";
    const char* fallback = policy->loopback_default_allow ? "loopback_default allow" : "loopback_default deny";
    char entry[k_entry_text_size];
    switch (verdict.step) {
    case SOCKET_OTHER_FAMILY: return set(out, "other_family", "", "neither local nor Internet: left to the kernel");
    case SOCKET_UNNAMED: return set(out, "unnamed", "", "an unnamed local socket passes");
    case SOCKET_ABSTRACT: return set(out, "abstract", "", "abstract local socket names are refused");
    case SOCKET_NAME_SERVICE: return set(out, "name_service", "", "the sockets of nscd and systemd-resolved pass");
    case SOCKET_LOCAL_NAME:
        return set(out, "local_name", "",
                   "local sockets are refused but the name-service ones, the tree's own and those below a "
                   "local_socket entry");
    case SOCKET_LOCAL_ALLOW:
        snprintf(entry, sizeof(entry), "local_socket %s", verdict.entry != nullptr ? verdict.entry : "");
        return set(out, "local_socket", entry, "below %s", entry);
    case SOCKET_SHORT_ADDRESS: return set(out, "short_address", "", "the address is too short to hold one: refused");
    case SOCKET_PORT_ALLOW:
        snprintf(entry, sizeof(entry), "loopback_allow %d", verdict.port);
        return set(out, "loopback_allow", entry, "%s%s, judged by port: allowed by %s", address, target, entry);
    case SOCKET_PORT_DENY:
        snprintf(entry, sizeof(entry), "loopback_deny %d", verdict.port);
        return set(out, "loopback_deny", entry, "%s%s, judged by port: denied by %s", address, target, entry);
    case SOCKET_PORT_DEFAULT:
        return set(out, "loopback_default", fallback, "%s%s, judged by port: %d is in neither list, so %s decides",
                   address, target, verdict.port, fallback);
    case SOCKET_OPEN: return set(out, "open", "", "another machine's address: every such destination is open");
    }
    set(out, "unknown", "", "no rule decided");
}

bool is_policy_step(RuleStep step) {
    switch (step) {
    case STEP_DENY_EXACT:
    case STEP_DENY_TREE:
    case STEP_HIDDEN:
    case STEP_STAT_ALLOW:
    case STEP_WSL_HIDDEN:
    case STEP_GIT:
    case STEP_WRITE_DENY:
    case STEP_DELETE_DENY:
    case STEP_PROTECTED_BELOW:
    case STEP_NOT_WRITABLE: return true;
    default: return false;
    }
}

bool is_policy_socket_step(SocketStep step) {
    return step == SOCKET_PORT_DENY || step == SOCKET_PORT_DEFAULT;
}
