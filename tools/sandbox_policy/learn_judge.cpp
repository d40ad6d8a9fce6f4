#include "tools/sandbox_policy/learn_judge.h"

#include <strings.h>
#include <unistd.h>

#include "rules/socket_rules.h"
#include "rules/staged_check.h"
#include "rules/verdict_text.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

RefusalKind kind_of_step(RuleStep step) {
    if (!is_policy_step(step)) return RefusalKind::hardening;
    switch (step) {
    case STEP_HIDDEN:
    case STEP_STAT_ALLOW:
    case STEP_WSL_HIDDEN:
    case STEP_NOT_WRITABLE: return RefusalKind::liftable;
    default: return RefusalKind::denied;
    }
}

RefusalKind kind_of_socket_step(SocketStep step) {
    if (!is_policy_socket_step(step)) return RefusalKind::hardening;
    return step == SOCKET_PORT_DEFAULT ? RefusalKind::liftable : RefusalKind::denied;
}

void take_text(const VerdictText& text, Judgement* out) {
    out->rule = text.rule;
    out->entry = text.entry;
    out->reason = text.reason;
}

// The directory whose .git the path lies in: "/w/repo" for "/w/repo/.git/x".
std::string repository_of(const std::string& path) {
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
        if (path.size() >= at + 5 && strncasecmp(path.c_str() + at + 1, ".git", 4) == 0 &&
            (path.size() == at + 5 || path[at + 5] == '/')) {
            return at == 0 ? "/" : path.substr(0, at);
        }
    }
    return "";
}

std::string shown(const std::string& path) {
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return quoted(path);
    }
    return path;
}

}  // namespace

Judgement judge_logged_path(const Policy* policy, Access access, const std::string& path) {
    Judgement out;
    out.judged = true;
    PathStages stages;
    const SandboxTree tree = {getpid(), -1, 0};
    out.allowed = judge_path_stages(policy, path.c_str(), access, LastLink::not_followed, tree, getpid(), &stages);
    if (out.allowed) return out;
    const char* paths[] = {stages.lexical, stages.canonical, stages.followed};
    for (int i = STAGE_COUNT; i-- > 0;) {
        const StageReport& report = stages.stage[i];
        if (!report.ran) continue;
        if (report.unresolved) {
            out.kind = RefusalKind::hardening;
            out.rule = "unresolved";
            out.reason = "cannot be resolved within the kernel's limits (40 links, 4095 bytes)";
            return out;
        }
        VerdictText text;
        const PathForm form = i == STAGE_LEXICAL ? PathForm::as_written : PathForm::resolved;
        describe_path_verdict(policy, report.verdict, form, paths[i], &text);
        take_text(text, &out);
        out.kind = kind_of_step(report.verdict.step);
        out.hidden = report.verdict.step != STEP_NOT_WRITABLE;
        return out;
    }
    return out;
}

Judgement judge_destination_port(const Policy* policy, const std::string& address, int port) {
    Judgement out;
    unsigned char copy[k_sockaddr_copy];
    uint64_t length = 0;
    std::string error;
    if (!make_inet_destination(address, std::to_string(port), copy, &length, &error)) return out;
    out.judged = true;
    SocketVerdict why{};
    out.allowed = judge_sockaddr(policy, copy, length, &why);
    VerdictText text;
    describe_socket_verdict(policy, why, address.c_str(), &text);
    take_text(text, &out);
    out.kind = kind_of_socket_step(why.step);
    return out;
}

std::string logged_path(const LogEvent& event) {
    if (!event.judged.empty() && event.judged[0] == '/') return event.judged;
    if (!event.path.empty() && event.path[0] == '/') return event.path;
    return "";
}

std::string subject_of(const LogEvent& event) {
    std::string path = logged_path(event);
    if (path.empty()) path = !event.judged.empty() ? event.judged : event.path;
    if (!path.empty() && !event.access.empty()) return event.access + " " + shown(path);
    std::string call = event.call.empty() ? "a call" : event.call;
    if (event.port.has_value()) return call + " " + shown(event.address) + " port " + std::to_string(*event.port);
    if (!event.address.empty()) return call + " " + shown(event.address);
    if (!path.empty()) return call + " " + shown(path);
    if (event.target.has_value()) return call + " target " + std::to_string(*event.target);
    return call;
}

std::string logged_reason(const LogEvent& event) {
    if (event.why.empty()) return event.rule.empty() ? "refused" : event.rule;
    return event.rule.empty() ? event.why : event.why + " (" + event.rule + ")";
}

std::string fix_for_denial(const std::string& rule, const std::string& entry, const std::string& path) {
    if (rule == "git") {
        const std::string repository = repository_of(path);
        return "a .git component outside every git_write entry; git_write " +
               (repository.empty() ? std::string("DIR") : repository) + " lifts the .git protection";
    }
    if (entry.empty()) return "a denial of the policy (" + rule + ") forbids it";
    if (rule == "protected_below") {
        return "deleting or renaming it would carry " + entry + " out of its protection; remove " + entry +
               " to allow it";
    }
    return entry + " forbids it; remove " + entry + " to allow it";
}

bool is_process_path(const std::string& path) {
    return path.compare(0, 6, "/proc/") == 0 && path.size() > 6 && path[6] >= '0' && path[6] <= '9';
}

bool is_writable_as_source(const std::string& path) {
    return path.find('\n') == std::string::npos && (path.empty() || path.back() != '\r');
}

bool is_deleted_file(const std::string& path) {
    static const std::string k_suffix = " (deleted)";
    return path.size() > k_suffix.size() && path.compare(path.size() - k_suffix.size(), k_suffix.size(), k_suffix) == 0;
}
