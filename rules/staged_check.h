// Judging one absolute path in its stages: as written, resolved without
// following its last component, and resolved following it.
#pragma once

#include <sys/types.h>

#include "base/access.h"
#include "base/sandbox_tree.h"
#include "path/normalize.h"
#include "policy/policy.h"
#include "rules/path_rules.h"

enum StageIndex : int { STAGE_LEXICAL, STAGE_CANONICAL, STAGE_FOLLOWED, STAGE_COUNT };

struct StageReport {
    bool ran;  // the stage was reached
    bool allowed;
    bool unresolved;  // the path could not be resolved within the limits
    int error;        // then the kernel's errno for it: ELOOP or ENAMETOOLONG
    RuleVerdict verdict;
};

struct PathStages {
    char lexical[k_path_size];
    char canonical[k_path_size];
    char followed[k_path_size];
    StageReport stage[STAGE_COUNT];
};

// Whether judging stops at the first stage that refuses, or goes on past a
// refusal that a rule of the policy made, so that an audit learns every
// stage that would be refused.
enum class StageMode : bool { stop_at_refusal, past_policy_refusals };

// Judges absolute, a path as process caller wrote it made absolute, for one
// access class. The followed stage runs for writes, executions and calls
// that follow a final link; it is judged only when it differs from the
// canonical path. stages tells what each stage saw. True when every stage
// that ran allowed the path.
[[nodiscard]] bool judge_path_stages(const Policy* policy, const char* absolute, Access access, LastLink last,
                                     const SandboxTree& tree, pid_t caller, PathStages* stages,
                                     StageMode mode = StageMode::stop_at_refusal);

// Reopening a descriptor through its /proc link reaches the open file, with
// the access the new open asks for. What the holder has already it may have
// again; anything more is judged on the file's path. target is what the
// descriptor's link reads, fdinfo its fdinfo name ("" for none). A target
// that is no path (a pipe, a memory file) has nothing to judge.
[[nodiscard]] bool judge_descriptor_target(const Policy* policy, const char* target, const char* fdinfo, Access access,
                                           const SandboxTree& tree, RuleVerdict* why);
