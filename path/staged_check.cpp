#include "path/staged_check.h"

#include <string.h>
#include <unistd.h>

#include "path/canonicalize.h"
#include "path/descriptor.h"
#include "path/link_free.h"

namespace {

int run_stage(StageReport* report, const Policy* policy, const char* path, int access, int child_pid,
              int supervisor_pid, int tracee_pid, int canonical) {
    report->ran = 1;
    report->allowed = judge_path_of_tracee(policy, path, access, child_pid, supervisor_pid, tracee_pid, canonical,
                                           &report->verdict);
    return report->allowed;
}

// Below /proc and /dev the walk keeps some names as they stand instead of
// resolving them in the supervisor's own view.
int is_kept_area(const char* path) {
    return strncmp(path, "/proc", 5) == 0 || strncmp(path, "/dev", 4) == 0;
}

// The followed form differs from the canonical one only when the canonical
// path's last component is a link: the walk resolved every other component
// the same way. Outside /proc and /dev, where the walk keeps some names as
// they stand, one readlink tells; anything else takes the whole walk.
int resolve_followed(const char* absolute, const char* canonical, char* followed, int tracee_pid) {
    if (!is_kept_area(canonical)) {
        char probe[1];
        if (readlink(canonical, probe, sizeof(probe)) < 0) {
            memcpy(followed, canonical, strlen(canonical) + 1);
            return 0;
        }
    }
    return canonicalize_path(absolute, 1, followed, tracee_pid);
}

int refuse_unresolved(StageReport* report) {
    report->ran = 1;
    report->unresolved = 1;
    report->allowed = 0;
    return 0;
}

}  // namespace

int judge_path_stages(const Policy* policy, const char* absolute, int access, int follow, int tracee_pid,
                      int child_pid, int supervisor_pid, PathStages* stages) {
    memset(stages->stage, 0, sizeof(stages->stage));
    StageReport* lexical = &stages->stage[STAGE_LEXICAL];
    char rewritten[k_path_size];
    char normalized[k_path_size];
    if (rewrite_proc_self(absolute, tracee_pid, rewritten) != 0 || normalize_lexical(rewritten, normalized) != 0 ||
        rewrite_proc_self(normalized, tracee_pid, stages->lexical) != 0) {
        return refuse_unresolved(lexical);
    }
    if (!run_stage(lexical, policy, stages->lexical, access, child_pid, supervisor_pid, tracee_pid, 0)) return 0;

    int wants_followed = access == ACCESS_WRITE || access == ACCESS_EXEC || follow;
    StageReport* canonical = &stages->stage[STAGE_CANONICAL];
    StageReport* followed = &stages->stage[STAGE_FOLLOWED];
    // When the kernel meets no link on the way (nor at the end, when it is
    // followed), every step of the walk would be lexical: the path as
    // written, normalized, is the canonical form and the followed one.
    int link_free = !is_kept_area(stages->lexical) && is_free_of_links(absolute, wants_followed);
    if (link_free) {
        memcpy(stages->canonical, stages->lexical, strlen(stages->lexical) + 1);
    } else if (canonicalize_path(absolute, 0, stages->canonical, tracee_pid) != 0) {
        return refuse_unresolved(canonical);
    }
    if (!run_stage(canonical, policy, stages->canonical, access, child_pid, supervisor_pid, tracee_pid, 1)) return 0;

    if (!wants_followed) return 1;
    if (link_free) {
        memcpy(stages->followed, stages->canonical, strlen(stages->canonical) + 1);
    } else if (resolve_followed(absolute, stages->canonical, stages->followed, tracee_pid) != 0) {
        return refuse_unresolved(followed);
    }
    if (link_free || strcmp(stages->followed, stages->canonical) == 0) {
        // The same path: the canonical stage has judged it already.
        followed->ran = 1;
        followed->allowed = 1;
        followed->verdict = canonical->verdict;
        return 1;
    }
    return run_stage(followed, policy, stages->followed, access, child_pid, supervisor_pid, tracee_pid, 1);
}

int judge_descriptor_target(const Policy* policy, const char* target, const char* fdinfo, int access, int child_pid,
                            int supervisor_pid, RuleVerdict* why) {
    if (why != nullptr) why->entry = nullptr;
    if (!is_path_target(target)) return 1;
    if (access == ACCESS_STAT) return 1;
    if (access == ACCESS_READ && fdinfo[0] != 0 && is_descriptor_open_for(fdinfo, 0)) return 1;
    if (access == ACCESS_WRITE && fdinfo[0] != 0 && is_descriptor_open_for(fdinfo, 1)) return 1;
    return judge_single_path(policy, target, access, child_pid, supervisor_pid, 1, why);
}
