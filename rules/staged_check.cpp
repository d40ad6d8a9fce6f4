#include "rules/staged_check.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "path/canonicalize.h"
#include "path/descriptor.h"
#include "path/link_free.h"
#include "proc/process_tree.h"
#include "rules/verdict_text.h"

namespace {

struct Judging {
    const Policy* policy;
    Access access;
    const SandboxTree& tree;
    pid_t caller;
};

void run_stage(const Judging& judging, StageReport* report, const char* path, PathForm form) {
    report->ran = true;
    report->allowed =
        judge_single_path(judging.policy, path, judging.access, judging.tree, judging.caller, form, &report->verdict);
}

// Below /proc and /dev the walk keeps some names as they stand instead of
// resolving them in the supervisor's own view.
bool is_kept_area(const char* path) {
    return strncmp(path, "/proc", 5) == 0 || strncmp(path, "/dev", 4) == 0;
}

// The followed form differs from the canonical one only when the canonical
// path's last component is a link: the walk resolved every other component
// the same way. Outside /proc and /dev, where the walk keeps some names as
// they stand, one readlink tells; anything else takes the whole walk.
bool resolve_followed(const char* absolute, const char* canonical, char* followed, pid_t caller) {
    if (!is_kept_area(canonical)) {
        char probe[1];
        if (readlink(canonical, probe, sizeof(probe)) < 0) {
            memcpy(followed, canonical, strlen(canonical) + 1);
            return true;
        }
    }
    return canonicalize_path(absolute, LastLink::followed, followed, caller);
}

bool refuse_unresolved(StageReport* report, int error) {
    report->ran = true;
    report->unresolved = true;
    report->error = error;
    report->allowed = false;
    return false;
}

}  // namespace

bool judge_path_stages(const Policy* policy, const char* absolute, Access access, LastLink last,
                       const SandboxTree& tree, pid_t caller, PathStages* stages, StageMode mode) {
    memset(stages->stage, 0, sizeof(stages->stage));
    const Judging judging = {policy, access, tree, caller};
    bool allowed = true;
    // A stage that refuses ends the judging, unless the mode goes on past it.
    auto stands = [&](const StageReport& report) {
        if (report.allowed) return true;
        allowed = false;
        return mode == StageMode::past_policy_refusals && is_policy_step(report.verdict.step);
    };
    StageReport* lexical = &stages->stage[STAGE_LEXICAL];
    char rewritten[k_path_size];
    char normalized[k_path_size];
    if (!rewrite_proc_self(absolute, caller, rewritten) || !normalize_lexical(rewritten, normalized) ||
        !rewrite_proc_self(normalized, caller, stages->lexical)) {
        return refuse_unresolved(lexical, ENAMETOOLONG);
    }
    run_stage(judging, lexical, stages->lexical, PathForm::as_written);
    if (!stands(*lexical)) return false;

    const LastLink followed_form = access == ACCESS_WRITE || access == ACCESS_EXEC ? LastLink::followed : last;
    StageReport* canonical = &stages->stage[STAGE_CANONICAL];
    StageReport* followed = &stages->stage[STAGE_FOLLOWED];
    // When the kernel meets no link on the way (nor at the end, when it is
    // followed), every step of the walk would be lexical: the path as
    // written, normalized, is the canonical form and the followed one.
    const bool link_free = !is_kept_area(stages->lexical) && is_free_of_links(absolute, followed_form);
    if (link_free) {
        memcpy(stages->canonical, stages->lexical, strlen(stages->lexical) + 1);
    } else if (!canonicalize_path(absolute, LastLink::not_followed, stages->canonical, caller)) {
        return refuse_unresolved(canonical, errno);
    }
    run_stage(judging, canonical, stages->canonical, PathForm::resolved);
    if (!stands(*canonical)) return false;

    if (followed_form == LastLink::not_followed) return allowed;
    if (link_free) {
        memcpy(stages->followed, stages->canonical, strlen(stages->canonical) + 1);
    } else if (!resolve_followed(absolute, stages->canonical, stages->followed, caller)) {
        return refuse_unresolved(followed, errno);
    }
    if (link_free || strcmp(stages->followed, stages->canonical) == 0) {
        // The same path: the canonical stage has judged it already.
        followed->ran = true;
        followed->allowed = true;
        followed->verdict = canonical->verdict;
        return allowed;
    }
    run_stage(judging, followed, stages->followed, PathForm::resolved);
    return stands(*followed) && allowed;
}

bool judge_descriptor_target(const Policy* policy, const char* target, const char* fdinfo, Access access,
                             const SandboxTree& tree, RuleVerdict* why) {
    if (why != nullptr) why->entry = nullptr;
    // A program that no path names (a memory file, a deleted one) is one no
    // rule can judge.
    if (access == ACCESS_EXEC && (!is_path_target(target) || is_deleted_target(target))) {
        if (why != nullptr) *why = {false, STEP_EXEC_WITHOUT_PATH, nullptr};
        return false;
    }
    if (!is_path_target(target)) return true;
    if (access == ACCESS_STAT) return true;
    if (access == ACCESS_READ && fdinfo[0] != 0 && is_descriptor_open_for(fdinfo, false)) return true;
    if (access == ACCESS_WRITE && fdinfo[0] != 0 && is_descriptor_open_for(fdinfo, true)) return true;
    return judge_single_path(policy, target, access, tree, 0, PathForm::resolved, why);
}
