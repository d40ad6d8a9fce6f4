#include "tools/sandbox_policy/learn.h"
#include "tools/sandbox_policy/learn_judge.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

// A command name as it is, or quoted when it holds blanks or odd bytes.
std::string shown_word(const std::string& word) {
    for (char c : word) {
        if (c < 0x21 || c > 0x7e || c == '"' || c == '\\') return quoted(word);
    }
    return word;
}

// "would-refuse openat by touch (pid 4242) at 2026-12-10T04:50:01.123Z, line 17".
std::string summary_of(const LogEvent& event) {
    std::string out = event.event;
    if (!event.call.empty()) out += " " + event.call;
    if (!event.comm.empty()) out += " by " + shown_word(event.comm);
    if (event.pid.has_value()) out += " (pid " + std::to_string(*event.pid) + ")";
    if (!event.time.empty()) out += " at " + event.time;
    if (event.line > 0) out += ", line " + std::to_string(event.line);
    return out;
}

// A refusal explain cannot judge again (a call refused whatever its
// operands, a process path judged by the tree it was in): the log's own
// words are its one stage.
void explain_from_log(const LogEvent& event, Explanation* out) {
    *out = Explanation{};
    out->operation = !event.access.empty() && !logged_path(event).empty() ? event.access
                     : event.call.empty()                                 ? "call"
                                                                          : event.call;
    const std::string subject = subject_of(event);
    out->subject = subject.compare(0, out->operation.size() + 1, out->operation + " ") == 0
                       ? subject.substr(out->operation.size() + 1)
                       : subject;
    StageLine line;
    line.stage = event.stage.empty() ? "logged" : event.stage;
    line.path = out->subject;
    line.rule = event.rule;
    line.reason = event.why.empty() ? event.rule : event.why;
    line.entry = event.entry;
    out->stages.push_back(line);
    out->answer = event.answer;
}

}  // namespace

void explain_log_event(const Policy* policy, const std::vector<Rule>& rules, const LogEvent& event, Explanation* out) {
    const std::string path = logged_path(event);
    Access access = ACCESS_STAT;
    std::string error;
    bool explained = false;
    // A path refused whatever the policy says was refused for what only the
    // supervisor saw then (the tree, the caller's memory): its own words say why.
    const bool by_policy = kind_of_logged_rule(event.rule) != RefusalKind::hardening;
    if (!path.empty() && access_by_name(event.access, &access)) {
        if (by_policy && !is_process_path(path)) explained = explain_path(policy, access, path, false, 0, out, &error);
    } else if (event.port.has_value()) {
        explained = explain_connect(policy, event.address, std::to_string(*event.port), out, &error);
    } else if (!event.address.empty()) {
        explain_unix(policy, event.address, out);
        explained = true;
    }
    if (!explained) explain_from_log(event, out);
    out->logged = summary_of(event);
    out->suggestion = suggest_change(rules, event);
}
