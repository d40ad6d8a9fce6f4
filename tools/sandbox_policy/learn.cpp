#include "tools/sandbox_policy/learn.h"

#include <sys/stat.h>

#include <map>
#include <set>

#include "rules/verdict_text.h"
#include "tools/sandbox_policy/coarsen.h"
#include "tools/sandbox_policy/learn_judge.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

enum class Outcome : uint8_t { proposed, already_allowed, not_proposed, cannot_allow };

// One distinct thing refused, judged by one policy: a path in one access
// class, or a loopback destination.
struct Refusal {
    const LogEvent* event;  // the first event, for its words
    int reference;          // the policy it is judged by, or -1 for none
    bool socket;
    Access access;
    std::string path;  // absolute
    std::string address;
    int port;
    size_t calls;
    Outcome outcome;
    std::string note;  // why it is not proposed, or cannot be allowed (without its subject)
    bool hidden;       // refused as hidden: a write needs its directory made visible too
};

// A rule and the refusals it is proposed for.
struct Proposal {
    Rule rule;
    std::vector<size_t> refusals;
};

struct Leaf {
    std::string path;
    size_t refusal;
};

class Learner {
public:
    explicit Learner(const LearnRequest& request) : request_(request) {
        limits_.home = request.home;
        if (request.has_base) add_reference(request.base);
    }

    Learned run() {
        collect();
        const std::vector<Policy> policies = decode_references({});
        for (size_t i = 0; i < refusals_.size(); ++i) classify(i, policies);
        propose();
        verify();
        return finish();
    }

private:
    int add_reference(const std::vector<Rule>& rules) {
        references_.push_back(rules);
        for (const Rule& rule : rules) {
            if (rule.key == 'D' || rule.key == 'F' || rule.key == 'S' || rule.key == 'X' || rule.key == 'A') {
                if (!rule.value.empty()) limits_.protected_entries.push_back(rule.value);
            }
        }
        return static_cast<int>(references_.size() - 1);
    }

    // The run's own policy, when no base is given and its blob reads.
    int start_run(const LogEvent& start) {
        ++learned_.runs;
        if (request_.has_base) return 0;
        DecodedBlob decoded;
        decode_blob(start.policy.c_str(), &decoded);
        if (!decoded.bad_pattern.empty()) return -1;
        return add_reference(decoded.rules);
    }

    void collect() {
        int reference = request_.has_base ? 0 : -1;
        std::map<std::string, size_t> index;
        for (const LogEvent& event : request_.events) {
            if (event.kind == LogEventKind::start) reference = start_run(event);
            if (!is_refusal(event)) continue;
            ++learned_.calls;
            if (kind_of_logged_rule(event.rule) == RefusalKind::hardening) {
                add_note(&learned_.cannot_allow, &cannot_seen_, {subject_of(event), logged_reason(event)});
                continue;
            }
            Refusal refusal = refusal_of(event, reference);
            std::string key = std::to_string(reference) + (refusal.socket ? " socket " : " path ") +
                              std::to_string(refusal.access) + " " + refusal.path + " " + refusal.address + " " +
                              std::to_string(refusal.port);
            auto [at, fresh] = index.emplace(key, refusals_.size());
            if (fresh) refusals_.push_back(refusal);
            ++refusals_[at->second].calls;
        }
    }

    static Refusal refusal_of(const LogEvent& event, int reference) {
        Refusal refusal{&event, reference, false, ACCESS_STAT, "", "", 0, 0, Outcome::proposed, "", false};
        if (event.port.has_value()) {
            refusal.socket = true;
            refusal.address = event.address;
            refusal.port = *event.port >= 0 && *event.port <= 65535 ? static_cast<int>(*event.port) : -1;
            return refusal;
        }
        refusal.path = logged_path(event);
        if (!access_by_name(event.access, &refusal.access)) refusal.path.clear();
        return refusal;
    }

    void settle(Refusal* refusal, Outcome outcome, const std::string& note) {
        refusal->outcome = outcome;
        refusal->note = note;
    }

    // What the refusal needs, from the policy's own judgement where there
    // is a policy, else from the logged rule.
    void classify(size_t index, const std::vector<Policy>& policies) {
        Refusal& refusal = refusals_[index];
        const LogEvent& event = *refusal.event;
        if (event.truncated) {
            return settle(&refusal, Outcome::not_proposed, "the path was cut short in the log");
        }
        if (is_deleted_file(refusal.path)) {
            return settle(&refusal, Outcome::not_proposed, "a deleted file, reached through a descriptor");
        }
        if (!refusal.socket && refusal.path.empty()) {
            return settle(&refusal, Outcome::not_proposed, "the log gives no absolute path and access class");
        }
        if (refusal.socket && refusal.port <= 0) {
            return settle(&refusal, Outcome::not_proposed, "the log gives no port");
        }
        if (is_process_path(refusal.path)) {
            return settle(&refusal, Outcome::cannot_allow, "a process path is judged by the process tree");
        }
        Judgement judgement = judge(refusal, policies);
        if (judgement.judged && judgement.allowed) return settle(&refusal, Outcome::already_allowed, "");
        if (kind_of_logged_rule(event.rule) == RefusalKind::denied) {
            if (judgement.judged && judgement.kind == RefusalKind::denied) return settle_by(&refusal, judgement);
            return settle(&refusal, Outcome::not_proposed, fix_for_denial(event.rule, event.entry, refusal.path));
        }
        if (judgement.judged && judgement.kind != RefusalKind::liftable) return settle_by(&refusal, judgement);
        if (!judgement.judged && event.rule == "wsl" && event.kind == LogEventKind::refused &&
            refusal.access == ACCESS_EXEC) {
            // Without a policy to judge by, this may be the WSL interop
            // areas' own refusal, which no rule lifts.
            return settle(&refusal, Outcome::cannot_allow, logged_reason(event));
        }
        refusal.hidden = judgement.judged ? judgement.hidden : event.rule != "not_writable";
        add_need(index);
    }

    void settle_by(Refusal* refusal, const Judgement& judgement) {
        if (judgement.kind == RefusalKind::denied) {
            settle(refusal, Outcome::not_proposed, fix_for_denial(judgement.rule, judgement.entry, refusal->path));
        } else if (judgement.kind == RefusalKind::hardening) {
            settle(refusal, Outcome::cannot_allow, judgement.reason + " (" + judgement.rule + ")");
        } else {
            settle(refusal, Outcome::not_proposed, "the learned rules do not allow it: " + judgement.reason);
        }
    }

    void add_need(size_t index) {
        Refusal& refusal = refusals_[index];
        if (refusal.socket) {
            ports_[refusal.port].push_back(index);
            return;
        }
        const std::string& path = refusal.path;
        if (!is_writable_as_source(path)) {
            return settle(&refusal, Outcome::not_proposed, "the path cannot be written as policy source");
        }
        if (refusal.access == ACCESS_STAT) {
            stat_.push_back({path, index});
        } else if (refusal.access == ACCESS_READ || refusal.access == ACCESS_EXEC) {
            if (opens_broad_tree(path)) {
                return settle(&refusal, Outcome::not_proposed,
                              "visible " + path + " would show everything below it; add it yourself if meant");
            }
            visible_.push_back({path, index});
        } else {
            // Creating, renaming and replacing a file take its directory:
            // its name may change from run to run. A directory made is a
            // name of its own, and a rule for it covers what goes in it.
            const bool makes_directory = refusal.event->call == "mkdir" || refusal.event->call == "mkdirat";
            const std::string dir = parent_directory(path);
            const std::string target = !makes_directory && may_widen_to(dir, limits_) ? dir : path;
            if (opens_broad_tree(target)) {
                return settle(&refusal, Outcome::not_proposed,
                              "write " + target + " would let everything below it change; add it yourself if meant");
            }
            write_.push_back({target, index});
        }
    }

    // A rule naming a broad directory opens a whole tree; one naming a
    // file there (/.dockerenv) opens that file. Only this machine tells
    // which it is, and what it cannot tell is taken as a directory.
    bool opens_broad_tree(const std::string& path) const {
        struct stat st;
        if (!is_broad_directory(path, limits_.home)) return false;
        return lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
    }

    static std::vector<std::string> paths_of(const std::vector<Leaf>& leaves) {
        std::vector<std::string> paths;
        for (const Leaf& leaf : leaves) paths.push_back(leaf.path);
        return paths;
    }

    std::vector<Proposal> proposals_of(char key, const std::vector<Leaf>& leaves,
                                       const std::vector<PathGroup>& groups) const {
        std::vector<Proposal> out;
        for (const PathGroup& group : groups) {
            Proposal proposal{{key, group.path, "learned"}, {}};
            for (size_t member : group.members) proposal.refusals.push_back(leaves[member].refusal);
            out.push_back(proposal);
        }
        return out;
    }

    // Stat-only paths stay exact unless a directory holds many of them.
    void widen_stat_paths() {
        std::map<std::string, std::set<std::string>> by_dir;
        for (const Leaf& leaf : stat_) by_dir[parent_directory(leaf.path)].insert(leaf.path);
        std::vector<Leaf> kept;
        for (const Leaf& leaf : stat_) {
            const std::string dir = parent_directory(leaf.path);
            if (by_dir[dir].size() >= k_coarsen_threshold && may_widen_to(dir, limits_)) {
                visible_.push_back(leaf);
            } else {
                kept.push_back(leaf);
            }
        }
        stat_ = kept;
    }

    void propose() {
        std::vector<PathGroup> writes = coarsen_paths(paths_of(write_), limits_);
        std::vector<Proposal> write_rules = proposals_of('W', write_, writes);
        for (const Proposal& proposal : write_rules) {
            for (size_t index : proposal.refusals) {
                if (refusals_[index].hidden) visible_.push_back({proposal.rule.value, index});
            }
        }
        widen_stat_paths();
        std::vector<PathGroup> visible = coarsen_paths(paths_of(visible_), limits_);
        std::vector<Proposal> visible_rules = proposals_of('E', visible_, visible);
        std::map<std::string, Proposal> stat_rules;
        for (const Leaf& leaf : stat_) {
            bool covered = false;
            for (Proposal& proposal : visible_rules) {
                if (!is_subpath(leaf.path.c_str(), proposal.rule.value.c_str())) continue;
                proposal.refusals.push_back(leaf.refusal);
                covered = true;
                break;
            }
            if (covered) continue;
            auto [at, fresh] = stat_rules.emplace(leaf.path, Proposal{{'M', leaf.path, "learned"}, {}});
            at->second.refusals.push_back(leaf.refusal);
        }
        proposals_ = visible_rules;
        for (auto& [path, proposal] : stat_rules) proposals_.push_back(proposal);
        proposals_.insert(proposals_.end(), write_rules.begin(), write_rules.end());
        for (auto& [port, members] : ports_) proposals_.push_back({{'L', std::to_string(port), "learned"}, members});
        drop_given_rules();
    }

    // A rule every policy its refusals are judged by has already (a write
    // entry hidden there) is not repeated.
    void drop_given_rules() {
        std::vector<Proposal> kept;
        for (const Proposal& proposal : proposals_) {
            bool given = true;
            for (size_t index : proposal.refusals) {
                int reference = refusals_[index].reference;
                given = given && reference >= 0 && has_rule(references_[static_cast<size_t>(reference)], proposal.rule);
            }
            if (!given) kept.push_back(proposal);
        }
        proposals_ = kept;
    }

    static bool has_rule(const std::vector<Rule>& rules, const Rule& wanted) {
        for (const Rule& rule : rules) {
            if (rule.key == wanted.key && rule.value == wanted.value) return true;
        }
        return false;
    }

    std::vector<Rule> proposed_rules() const {
        std::vector<Rule> rules;
        for (const Proposal& proposal : proposals_) rules.push_back(proposal.rule);
        return rules;
    }

    // Each policy refusals are judged by, with the rules added to it.
    std::vector<Policy> decode_references(const std::vector<Rule>& added) const {
        std::vector<Policy> policies(references_.size());
        for (size_t i = 0; i < references_.size(); ++i) {
            std::vector<Rule> rules = references_[i];
            rules.insert(rules.end(), added.begin(), added.end());
            decode_policy_or_exit(encode_rules(rules).c_str(), &policies[i]);
        }
        return policies;
    }

    static Judgement judge(const Refusal& refusal, const std::vector<Policy>& policies) {
        if (refusal.reference < 0) return Judgement{};
        const Policy* policy = &policies[static_cast<size_t>(refusal.reference)];
        return refusal.socket ? judge_destination_port(policy, refusal.address, refusal.port)
                              : judge_logged_path(policy, refusal.access, refusal.path);
    }

    // Each refusal is judged again with the proposals added: one they do
    // not allow after all (a .git component, a WSL program) is reported,
    // and a rule left with no refusal it allows is dropped, until none is.
    void verify() {
        while (true) {
            const std::vector<Policy> policies = decode_references(proposed_rules());
            for (Refusal& refusal : refusals_) {
                if (refusal.outcome != Outcome::proposed || refusal.reference < 0) continue;
                Judgement judgement = judge(refusal, policies);
                if (!judgement.allowed) settle_by(&refusal, judgement);
            }
            std::vector<Proposal> kept;
            for (Proposal& proposal : proposals_) {
                std::vector<size_t> allowed;
                for (size_t index : proposal.refusals) {
                    if (refusals_[index].outcome == Outcome::proposed) allowed.push_back(index);
                }
                proposal.refusals = allowed;
                if (!allowed.empty()) kept.push_back(proposal);
            }
            const bool dropped = kept.size() != proposals_.size();
            proposals_ = kept;
            if (!dropped) return;
        }
    }

    Learned finish() {
        for (const Refusal& refusal : refusals_) {
            if (refusal.outcome == Outcome::already_allowed) learned_.already_allowed += refusal.calls;
            const LearnNote note = {subject_of(*refusal.event), refusal.note};
            if (refusal.outcome == Outcome::not_proposed) add_note(&learned_.not_proposed, &denied_seen_, note);
            if (refusal.outcome == Outcome::cannot_allow) add_note(&learned_.cannot_allow, &cannot_seen_, note);
        }
        for (const Proposal& proposal : proposals_) {
            LearnedRule rule{proposal.rule, 0, 0, ""};
            std::set<std::string> subjects;
            std::vector<std::string> accesses;
            for (size_t index : proposal.refusals) {
                const Refusal& refusal = refusals_[index];
                rule.calls += refusal.calls;
                subjects.insert(refusal.socket ? refusal.address : refusal.path);
                std::string access = refusal.socket ? refusal.event->call : name_of_access(refusal.access);
                bool seen = false;
                for (const std::string& each : accesses) seen = seen || each == access;
                if (!seen && !access.empty()) accesses.push_back(access);
            }
            rule.subjects = subjects.size();
            for (const std::string& access : accesses) rule.accesses += (rule.accesses.empty() ? "" : ", ") + access;
            learned_.rules.push_back(rule);
        }
        return learned_;
    }

    static void add_note(std::vector<LearnNote>* notes, std::set<std::string>* seen, const LearnNote& note) {
        if (seen->insert(note.subject + '\n' + note.reason).second) notes->push_back(note);
    }

    const LearnRequest& request_;
    WideningLimits limits_;
    std::vector<std::vector<Rule>> references_;
    std::vector<Refusal> refusals_;
    std::vector<Leaf> visible_;
    std::vector<Leaf> stat_;
    std::vector<Leaf> write_;
    std::map<int, std::vector<size_t>> ports_;
    std::vector<Proposal> proposals_;
    std::set<std::string> denied_seen_;
    std::set<std::string> cannot_seen_;
    Learned learned_;
};

}  // namespace

RefusalKind kind_of_logged_rule(const std::string& rule) {
    static const char* const k_liftable[] = {"hidden", "stat_allow", "not_writable", "loopback_default", "wsl"};
    static const char* const k_denied[] = {"deny",        "deny_exact",      "deny_single",   "write_deny",
                                           "delete_deny", "protected_below", "loopback_deny", "git"};
    for (const char* name : k_liftable) {
        if (rule == name) return RefusalKind::liftable;
    }
    for (const char* name : k_denied) {
        if (rule == name) return RefusalKind::denied;
    }
    return RefusalKind::hardening;
}

Learned learn_rules(const LearnRequest& request) {
    return Learner(request).run();
}
