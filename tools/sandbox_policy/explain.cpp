#include <arpa/inet.h>
#include <errno.h>
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
#include "rules/kernel_bound.h"
#include "rules/socket_rules.h"
#include "rules/staged_check.h"
#include "rules/verdict_text.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

const char* const k_class_names[] = {"", "stat", "read", "write", "delete", "exec"};

void set(StageLine* line, const char* rule, const std::string& reason, const std::string& entry = "") {
    line->rule = rule;
    line->reason = reason;
    line->entry = entry;
}

void set(StageLine* line, const VerdictText& text) {
    set(line, text.rule, text.reason, text.entry);
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

// One stage for a socket address held in copy.
void judge_destination(const Policy* policy, const unsigned char* copy, uint64_t length, const std::string& shown,
                       Explanation* out) {
    SocketVerdict why{};
    StageLine line;
    line.stage = "destination";
    line.path = out->subject;
    line.allowed = out->allowed = judge_sockaddr(policy, copy, length, &why);
    VerdictText text;
    describe_socket_verdict(policy, why, shown.c_str(), &text);
    set(&line, text);
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

Explanation begin_explanation(const std::string& operation, const std::string& subject) {
    Explanation out;
    out.operation = operation;
    out.subject = subject;
    return out;
}

std::string final_answer(const Explanation& explanation) {
    if (explanation.allowed) return "allowed";
    return explanation.answer.empty() ? "EACCES" : explanation.answer;
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
    VerdictText text;
    describe_path_verdict(policy, verdict, form, path, &text);
    set(line, text);
}

bool explain_path(const Policy* policy, Access access, const std::string& path, bool follow, int pid, Explanation* out,
                  std::string* error) {
    // Asked about another process, this one is the asker, outside the tree
    // as the supervisor is.
    const pid_t tracee = pid != 0 ? pid : getpid();
    const SandboxTree tree = {tracee, -1, pid != 0 ? getpid() : 0};
    *out = begin_explanation(k_class_names[access], path);
    if (path.empty()) {
        *error = "an empty path names no file";
        return false;
    }
    // The supervisor's own steps: the base directory, then the join. A
    // process it cannot read it cannot judge, whatever the path: every
    // checked call of it is refused.
    std::string absolute = path;
    char base[k_path_size];
    char joined[k_path_size];
    const bool readable = read_base_directory(tracee, AT_FDCWD, base);
    if (!readable && pid != 0) {
        const int why = errno;
        *error = "process " + std::to_string(tracee) + " cannot be read by this user (" + strerror(why) + ")";
        if (why == EACCES || why == EPERM) {
            *error +=
                ": it belongs to another user or is not dumpable, and a supervisor run as this user would"
                " refuse every checked call it makes";
        }
        return false;
    }
    if (path[0] != '/') {
        if (!readable) {
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
    // The answer the supervisor gives, from the first stage that refused.
    for (const StageReport& report : stages.stage) {
        if (!report.ran || report.allowed) continue;
        const int answer = report.unresolved
                               ? report.error
                               : path_refusal_errno(policy, report.verdict.step, paths[&report - stages.stage]);
        if (answer != EACCES && answer != 0) out->answer = strerrorname_np(answer);
        break;
    }
    if (out->allowed && stages.stage[STAGE_FOLLOWED].ran) {
        add_descriptor_stage(policy, stages.followed, access, tree, out);
    }
    static BoundEntry entries[k_bound_entries_max];
    static char pattern_dirs[k_bound_entries_max][k_path_size];
    const long count = build_bound(*policy, entries, k_bound_entries_max, pattern_dirs, k_bound_entries_max);
    const char* reached = stages.stage[STAGE_FOLLOWED].ran ? stages.followed : stages.canonical;
    out->bound_refuses = count >= 0 && stages.stage[STAGE_CANONICAL].ran &&
                         !is_within_bound(entries, static_cast<size_t>(count), reached, access);
    return true;
}

bool make_inet_destination(const std::string& address, const std::string& port, unsigned char* copy, uint64_t* length,
                           std::string* error) {
    char* end = nullptr;
    long number = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != 0 || number < 0 || number > 65535) {
        *error = "not a port: " + port;
        return false;
    }
    memset(copy, 0, k_sockaddr_copy);
    sockaddr_in v4{AF_INET, htons(static_cast<uint16_t>(number)), {}, {}};
    sockaddr_in6 v6{AF_INET6, htons(static_cast<uint16_t>(number)), 0, {}, 0};
    if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        memcpy(copy, &v4, *length = sizeof(v4));
    } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        memcpy(copy, &v6, *length = sizeof(v6));
    } else {
        *error = "not a numeric IPv4 or IPv6 address: " + address;
        return false;
    }
    return true;
}

bool explain_connect(const Policy* policy, const std::string& address, const std::string& port, Explanation* out,
                     std::string* error) {
    unsigned char copy[k_sockaddr_copy];
    uint64_t length = 0;
    if (!make_inet_destination(address, port, copy, &length, error)) return false;
    *out = begin_explanation("connect", address + " port " + port);
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
    *out = begin_explanation("unix", path);
    judge_destination(policy, copy, length, path, out);
}

std::string format_explanation(const Explanation& explanation) {
    std::string out = explanation.logged.empty() ? "" : "logged: " + explanation.logged + "\n";
    out += explanation.operation + " " + explanation.subject + "\n";
    for (const StageLine& line : explanation.stages) {
        out += "  " + line.stage + ": " + line.path + "\n";
        out += std::string("    ") + (line.allowed ? "allowed: " : "denied: ") + line.reason + "\n";
    }
    out += "result: " + final_answer(explanation) + "\n";
    if (explanation.bound_refuses) {
        out +=
            "kernel bound: refuses it too, where the kernel has Landlock (5.19 and later), whatever a race"
            " changes\n";
    }
    if (!explanation.suggestion.empty()) out += "suggestion: " + explanation.suggestion + "\n";
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
    if (!explanation.logged.empty()) field("logged", explanation.logged);
    if (!explanation.suggestion.empty()) field("suggestion", explanation.suggestion);
    out += std::string("\"bound_refuses\":") + (explanation.bound_refuses ? "true," : "false,");
    field("final", final_answer(explanation), "}\n");
    return out;
}
