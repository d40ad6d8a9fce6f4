#include <stdio.h>

#include "tools/sandbox_policy/learn.h"
#include "tools/sandbox_policy/learn_judge.h"

namespace {

struct RuleGroup {
    char key;
    const char* heading;
    const char* subjects;  // what a rule's distinct subjects are called
};

// clang-format off
const RuleGroup k_groups[] = {
    {'E', "# Read, run, listed, or written where hidden: visible shows a path and everything below it.", "paths"},
    {'M', "# Only looked at (metadata, a link's target): stat_allow shows that one path's metadata.", "paths"},
    {'W', "# Created, written, renamed or deleted: write lets a visible path and everything below it change.",
     "paths"},
    {'L', "# Loopback services connected to: loopback_allow opens one port.", "addresses"},
};
// clang-format on

std::string plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A comment is one line, whatever bytes a path or entry holds.
std::string comment_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\x%02x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

std::string header(const Learned& learned, const std::string& log_name, const std::string& base_name) {
    std::string out = base_name.empty() ? "" : "include " + base_name + "\n";
    out += "# Learned by sandbox-policy learn from " + comment_text(log_name) + ": " +
           plural(learned.calls, "refused call", "refused calls");
    if (learned.runs > 0) out += " in " + plural(learned.runs, "run", "runs");
    out += ".\n";
    if (learned.already_allowed > 0) {
        out += "# " + std::to_string(learned.already_allowed) +
               (base_name.empty() ? " of them the run's policy allows when judged here: left out.\n"
                                  : " of them the included policy allows already: left out.\n");
    }
    if (base_name.empty()) out += "# Add these rules to the policy the command ran under.\n";
    return out;
}

std::string rule_comment(const LearnedRule& rule, const char* subjects) {
    std::string out = "# " + plural(rule.calls, "call", "calls");
    if (rule.subjects > 1) out += " on " + std::to_string(rule.subjects) + " " + subjects;
    if (!rule.accesses.empty()) out += ": " + rule.accesses;
    return out + "\n";
}

// Notes of one reason are one line when there are many: a protected tree a
// build writes all over would otherwise bury the rest.
std::string block(const char* heading, const std::vector<LearnNote>& notes) {
    constexpr size_t k_listed = 3;
    if (notes.empty()) return "";
    std::string out = std::string("\n") + heading + "\n";
    std::vector<bool> done(notes.size(), false);
    for (size_t i = 0; i < notes.size(); ++i) {
        if (done[i]) continue;
        std::vector<size_t> alike;
        for (size_t j = i; j < notes.size(); ++j) {
            if (!done[j] && notes[j].reason == notes[i].reason) alike.push_back(j);
        }
        if (alike.size() > k_listed) {
            out += "#   " + comment_text(notes[i].subject) + " and " + std::to_string(alike.size() - 1) +
                   " more: " + comment_text(notes[i].reason) + "\n";
        }
        for (size_t j : alike) {
            if (alike.size() <= k_listed) {
                out += "#   " + comment_text(notes[j].subject + ": " + notes[j].reason) + "\n";
            }
            done[j] = true;
        }
    }
    return out;
}

}  // namespace

std::string format_learned(const Learned& learned, const std::string& log_name, const std::string& base_name) {
    std::string out = header(learned, log_name, base_name);
    for (const RuleGroup& group : k_groups) {
        std::string rules;
        for (const LearnedRule& rule : learned.rules) {
            if (rule.rule.key == group.key) rules += rule_comment(rule, group.subjects) + format_rule(rule.rule) + "\n";
        }
        if (!rules.empty()) out += std::string("\n") + group.heading + "\n" + rules;
    }
    if (learned.rules.empty()) out += "\n# No rule to add.\n";
    out += block("# not proposed:", learned.not_proposed);
    out += block("# cannot be allowed by a rule:", learned.cannot_allow);
    return out;
}

std::string suggest_change(const std::vector<Rule>& rules, const LogEvent& event) {
    LearnRequest request;
    request.events = {event};
    request.has_base = true;
    request.base = rules;
    request.home = expand_home("~");
    const Learned learned = learn_rules(request);
    if (!learned.rules.empty()) {
        std::string out = "add";
        for (size_t i = 0; i < learned.rules.size(); ++i) {
            out += (i == 0 ? " " : " and ") + format_rule(learned.rules[i].rule);
        }
        return out;
    }
    if (!learned.not_proposed.empty()) return "none: " + learned.not_proposed[0].reason;
    if (!learned.cannot_allow.empty()) {
        return "none: no rule can allow it: " + learned.cannot_allow[0].reason;
    }
    if (learned.already_allowed > 0) return "none: this policy allows it";
    return "none: the line is no refusal";
}
