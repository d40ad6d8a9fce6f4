#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/io.h"
#include "path/descriptor.h"
#include "path/operand.h"
#include "rules/socket_rules.h"
#include "rules/staged_check.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

const char* const k_class_names[] = {"", "stat", "read", "write", "delete", "exec"};

// The rule name of an entry, found by the entry's own address in the policy.
const char* rule_of_entry(const Policy* policy, const char* entry) {
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

void set(StageLine* line, const char* rule, const std::string& reason, const std::string& entry = "") {
    line->rule = rule;
    line->reason = reason;
    line->entry = entry;
}

void describe_visible(const Policy* policy, PathForm form, const char* path, StageLine* line) {
    if (form == PathForm::as_written) return set(line, "no_denial", "no denial applies to the path as written");
    const char* visible = find_subpath_entry(&policy->visible_tree, path);
    std::string root = policy->hidden_root;
    if (visible != nullptr) {
        return set(line, "visible", std::string("visible under visible ") + visible, std::string("visible ") + visible);
    }
    if (root.empty()) return set(line, "visible", "visible: hidden_root is empty and hides nothing");
    set(line, "visible", "visible: outside hidden_root " + root, "hidden_root " + root);
}

// Reopening a descriptor is judged by the open file, as the supervisor does
// after the stages.
void add_descriptor_stage(const Policy* policy, const char* followed, Access access, const SandboxTree& tree,
                          Explanation* out) {
    char link[64];
    char fdinfo[64];
    char target[k_path_size];
    if (!name_descriptor_path(followed, tree.child, link, fdinfo, sizeof(link))) return;
    StageLine line;
    line.stage = "descriptor";
    line.path = link;
    RuleVerdict why{};
    if (read_link(link, target, sizeof(target)) < 0) {
        set(&line, "descriptor", "the descriptor cannot be read: refused");
    } else {
        line.path = target;
        line.allowed = judge_descriptor_target(policy, target, fdinfo, access, tree, &why);
        if (why.step != 0) {
            describe_verdict(policy, why, PathForm::resolved, target, &line);
        } else if (!is_path_target(target)) {
            set(&line, "descriptor", "the descriptor holds no file-system path: nothing to judge");
        } else {
            set(&line, "descriptor", "the descriptor is open for this access already (or only looked at)");
        }
    }
    out->allowed = line.allowed;
    out->stages.push_back(line);
}

void describe_socket(const Policy* policy, const SocketVerdict& why, const std::string& address, StageLine* line) {
    static const char* const k_targets[] = {"", " is a loopback address", " is the any address (this machine)",
                                            " is an address of this machine"};
    std::string port = std::to_string(why.port);
    std::string by_port = address + k_targets[why.target] + ", judged by port: ";
    std::string fallback = policy->loopback_default_allow ? "loopback_default allow" : "loopback_default deny";
    switch (why.step) {
    case SOCKET_OTHER_FAMILY: return set(line, "other_family", "neither local nor Internet: left to the kernel");
    case SOCKET_UNNAMED: return set(line, "unnamed", "an unnamed local socket passes");
    case SOCKET_ABSTRACT: return set(line, "abstract", "abstract local socket names are refused");
    case SOCKET_NAME_SERVICE: return set(line, "name_service", "the sockets of nscd and systemd-resolved pass");
    case SOCKET_LOCAL_NAME: return set(line, "local_name", "local sockets but the name-service ones are refused");
    case SOCKET_SHORT_ADDRESS: return set(line, "short_address", "the address is too short to hold one: refused");
    case SOCKET_PORT_ALLOW:
        return set(line, "loopback_allow", by_port + "allowed by loopback_allow " + port, "loopback_allow " + port);
    case SOCKET_PORT_DENY:
        return set(line, "loopback_deny", by_port + "denied by loopback_deny " + port, "loopback_deny " + port);
    case SOCKET_PORT_DEFAULT:
        return set(line, "loopback_default", by_port + port + " is in neither list, so " + fallback + " decides",
                   fallback);
    case SOCKET_OPEN: return set(line, "open", "another machine's address: every such destination is open");
    }
}

// One stage for a socket address held in copy.
void judge_destination(const Policy* policy, const unsigned char* copy, uint64_t length, const std::string& shown,
                       Explanation* out) {
    SocketVerdict why{};
    StageLine line;
    line.stage = "destination";
    line.path = out->subject;
    line.allowed = out->allowed = judge_sockaddr(policy, copy, length, &why);
    describe_socket(policy, why, shown, &line);
    out->stages.push_back(line);
}

void json_string(std::string* out, const std::string& text) {
    *out += '"';
    for (char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            *out += escape;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

}  // namespace

bool access_by_name(const std::string& name, Access* access) {
    for (Access each : {ACCESS_STAT, ACCESS_READ, ACCESS_WRITE, ACCESS_DELETE, ACCESS_EXEC}) {
        if (name == k_class_names[each]) {
            *access = each;
            return true;
        }
    }
    return false;
}

void describe_verdict(const Policy* policy, const RuleVerdict& verdict, PathForm form, const char* path,
                      StageLine* line) {
    std::string entry = verdict.entry != nullptr ? verdict.entry : "";
    std::string named = verdict.entry != nullptr ? std::string(rule_of_entry(policy, verdict.entry)) + " " + entry : "";
    switch (verdict.step) {
    case STEP_PROCESS_IN_TREE: return set(line, "process", "a process path of the sandbox tree");
    case STEP_PROCESS_OUTSIDE_TREE: return set(line, "process", "a process path of a process outside the sandbox tree");
    case STEP_PROCESS_WRITE_NOT_DESCRIPTOR:
        return set(line, "process", "a process path is written only through /proc/N/fd/M");
    case STEP_WSL_EXEC:
        return set(line, "wsl", "nothing runs from the WSL interop areas (/run/WSL, Windows programs in /mnt, /init)");
    case STEP_WSL_HIDDEN:
        return set(line, "wsl", "a WSL interop area (/mnt, /run/WSL, /init) no visible, write or stat_allow names");
    case STEP_DENY_EXACT:
    case STEP_DENY_TREE:
    case STEP_WRITE_DENY:
    case STEP_DELETE_DENY: return set(line, rule_of_entry(policy, verdict.entry), "denied by " + named, named);
    case STEP_HIDDEN:
        return set(line, "hidden", "hidden: inside hidden_root " + entry + " and under no visible entry", named);
    case STEP_STAT_ALLOW: return set(line, "stat_allow", "hidden, but " + named + " lets its metadata be read", named);
    case STEP_VISIBLE: return describe_visible(policy, form, path, line);
    case STEP_GIT: return set(line, "git", "a .git component outside every git_write entry");
    case STEP_PROTECTED_BELOW:
        return set(line, "protected_below", "deleting or renaming it would carry " + named + " out of its protection",
                   named);
    case STEP_LEXICAL_WRITE:
        return set(line, "no_denial", "no denial applies to the path as written; the resolved path decides");
    case STEP_DEVICE: return set(line, "device", "/dev/null and /dev/fd need only be visible");
    case STEP_WRITE_ALLOW:
    case STEP_WRITE_PATTERN: return set(line, rule_of_entry(policy, verdict.entry), "allowed by " + named, named);
    case STEP_NOT_WRITABLE: return set(line, "not_writable", "under no write entry and matching no write_pattern");
    case STEP_EXEC_WITHOUT_PATH:
        return set(line, "exec_without_path", "a program no path names (a memory file, a deleted one) is never run");
    case STEP_USERFAULTFD: return set(line, "userfaultfd", "/dev/userfaultfd could stall the supervisor: refused");
    }
}

bool explain_path(const Policy* policy, Access access, const std::string& path, bool follow, int pid, Explanation* out,
                  std::string* error) {
    // Asked about another process, this one is the asker, outside the tree
    // as the supervisor is.
    const pid_t tracee = pid != 0 ? pid : getpid();
    const SandboxTree tree = {tracee, -1, pid != 0 ? getpid() : 0};
    *out = Explanation{k_class_names[access], path, {}, false};
    if (path.empty()) {
        *error = "an empty path names no file";
        return false;
    }
    // The supervisor's own steps: the base directory, then the join.
    std::string absolute = path;
    char base[k_path_size];
    char joined[k_path_size];
    if (path[0] != '/') {
        if (!read_base_directory(tracee, AT_FDCWD, base)) {
            *error = std::string("cannot read the working directory of process ") + std::to_string(tracee);
            return false;
        }
        // A path too long to join is refused as one that cannot be held.
        absolute = join_absolute(base, path.c_str(), joined) ? joined : std::string(base) + "/" + path;
    }
    const LastLink last = follow || ends_at_directory(path.c_str()) ? LastLink::followed : LastLink::not_followed;
    PathStages stages;
    out->allowed = judge_path_stages(policy, absolute.c_str(), access, last, tree, tracee, &stages);
    const char* names[] = {"lexical", "canonical", "followed"};
    const char* paths[] = {stages.lexical, stages.canonical, stages.followed};
    for (int i = STAGE_LEXICAL; i < STAGE_COUNT; ++i) {
        const StageReport& report = stages.stage[i];
        if (!report.ran) continue;
        StageLine line;
        line.stage = names[i];
        line.allowed = report.allowed != 0;
        line.path = report.unresolved ? absolute : paths[i];
        if (report.unresolved) {
            set(&line, "unresolved", "cannot be resolved within the kernel's limits (40 links, 4095 bytes)");
        } else if (i == STAGE_FOLLOWED && strcmp(stages.followed, stages.canonical) == 0) {
            set(&line, "same_path", "the same path as the canonical stage");
        } else {
            describe_verdict(policy, report.verdict, i == STAGE_LEXICAL ? PathForm::as_written : PathForm::resolved,
                             paths[i], &line);
        }
        out->stages.push_back(line);
    }
    if (out->allowed && stages.stage[STAGE_FOLLOWED].ran) {
        add_descriptor_stage(policy, stages.followed, access, tree, out);
    }
    return true;
}

bool explain_connect(const Policy* policy, const std::string& address, const std::string& port, Explanation* out,
                     std::string* error) {
    char* end = nullptr;
    long number = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != 0 || number < 0 || number > 65535) {
        *error = "not a port: " + port;
        return false;
    }
    unsigned char copy[k_sockaddr_copy] = {};
    sockaddr_in v4{AF_INET, htons(static_cast<uint16_t>(number)), {}, {}};
    sockaddr_in6 v6{AF_INET6, htons(static_cast<uint16_t>(number)), 0, {}, 0};
    uint64_t length = 0;
    if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        memcpy(copy, &v4, length = sizeof(v4));
    } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        memcpy(copy, &v6, length = sizeof(v6));
    } else {
        *error = "not a numeric IPv4 or IPv6 address: " + address;
        return false;
    }
    *out = Explanation{"connect", address + " port " + port, {}, false};
    judge_destination(policy, copy, length, address, out);
    return true;
}

void explain_unix(const Policy* policy, const std::string& path, Explanation* out) {
    unsigned char copy[k_sockaddr_copy] = {};
    sa_family_t family = AF_UNIX;
    memcpy(copy, &family, sizeof(family));
    size_t n = path.size() < sizeof(sockaddr_un::sun_path) - 1 ? path.size() : sizeof(sockaddr_un::sun_path) - 1;
    memcpy(copy + sizeof(family), path.data(), n);
    bool abstract = n > 0 && path[0] == '@';
    if (abstract) copy[sizeof(family)] = 0;
    // Named sockets pass their NUL, abstract ones their bytes, unnamed ones
    // the family alone.
    uint64_t length = sizeof(family) + n + (n > 0 && !abstract ? 1 : 0);
    *out = Explanation{"unix", path, {}, false};
    judge_destination(policy, copy, length, path, out);
}

std::string format_explanation(const Explanation& explanation) {
    std::string out = explanation.operation + " " + explanation.subject + "\n";
    for (const StageLine& line : explanation.stages) {
        out += "  " + line.stage + ": " + line.path + "\n";
        out += std::string("    ") + (line.allowed ? "allowed: " : "denied: ") + line.reason + "\n";
    }
    out += std::string("result: ") + (explanation.allowed ? "allowed" : "EACCES") + "\n";
    return out;
}

std::string format_explanation_json(const Explanation& explanation) {
    std::string out = "{";
    auto field = [&out](const char* name, const std::string& value, const char* after = ",") {
        out += std::string("\"") + name + "\":";
        json_string(&out, value);
        out += after;
    };
    field("operation", explanation.operation);
    field("subject", explanation.subject);
    out += "\"stages\":[";
    for (const StageLine& line : explanation.stages) {
        out += out.back() == '[' ? "{" : ",{";
        field("stage", line.stage);
        field("path", line.path);
        out += std::string("\"allowed\":") + (line.allowed ? "true," : "false,");
        field("rule", line.rule);
        field("reason", line.reason);
        if (line.entry.empty()) {
            out += "\"entry\":null}";
        } else {
            field("entry", line.entry, "}");
        }
    }
    out += std::string("],\"allowed\":") + (explanation.allowed ? "true," : "false,");
    field("final", explanation.allowed ? "allowed" : "EACCES", "}\n");
    return out;
}
