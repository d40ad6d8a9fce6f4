// Learning a policy from a refusal log: the rules that would have let the
// logged calls through, the refusals no rule should lift (a denial forbids
// them) and those no rule can lift (they protect the machine whatever the
// policy says). For one event, the smallest change that would allow it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "policy/source.h"
#include "tools/sandbox_policy/log_reader.h"

// How a refusal stands to the rules.
enum class RefusalKind : uint8_t {
    liftable,   // hiding, stat_allow, a missing write or loopback allowance: a rule lifts it
    denied,     // a deny, write_deny, delete_deny, loopback_deny or the .git protection forbids it
    hardening,  // no rule can allow it
};

// The kind of a refusal by the rule name the log gives.
[[nodiscard]] RefusalKind kind_of_logged_rule(const std::string& rule);

struct LearnRequest {
    std::vector<LogEvent> events;  // the whole log, in order; the refusals are picked out
    // With a base, every refusal is judged by it and the output adds to it;
    // without one, each refusal is judged by the policy of its own run.
    bool has_base = false;
    std::vector<Rule> base;
    std::string home;  // the user's home directory, never proposed whole
};

struct LearnedRule {
    Rule rule;
    size_t calls = 0;      // logged calls it lets through
    size_t subjects = 0;   // distinct paths or destinations among them
    std::string accesses;  // "read, exec"
};

// A refusal no rule is proposed for.
struct LearnNote {
    std::string subject;  // "write /a/b", "connect 127.0.0.1 port 22"
    std::string reason;   // the entry that forbids it and what to do, or why no rule can
};

struct Learned {
    std::vector<LearnedRule> rules;  // visible, then stat_allow, write, loopback_allow
    std::vector<LearnNote> not_proposed;
    std::vector<LearnNote> cannot_allow;
    size_t runs = 0;
    size_t calls = 0;            // refusals read from the log
    size_t already_allowed = 0;  // refusals the policy judged by allows now
};

[[nodiscard]] Learned learn_rules(const LearnRequest& request);

// The policy source of what was learned. base_name (absolute) is included
// first when given.
[[nodiscard]] std::string format_learned(const Learned& learned, const std::string& log_name,
                                         const std::string& base_name);

// The smallest change to the policy of rules that would allow one logged
// refusal, in words: "add visible /opt/tool/lib/x.so", or why none is
// proposed.
[[nodiscard]] std::string suggest_change(const std::vector<Rule>& rules, const LogEvent& event);
