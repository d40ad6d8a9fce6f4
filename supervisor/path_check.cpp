#include "supervisor/path_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "base/io.h"
#include "path/descriptor.h"
#include "path/interpreter.h"
#include "path/operand.h"
#include "rules/ipc_rules.h"
#include "rules/staged_check.h"
#include "rules/verdict_text.h"
#include "supervisor/judged_open.h"
#include "supervisor/refusal.h"
#include "supervisor/tree_objects.h"

namespace {

// raw as an absolute path: as it is, or joined to the caller's directory dirfd.
bool make_absolute(const PendingCall& call, int dirfd, const char* raw, char (&absolute)[k_path_size]) {
    if (raw[0] == '/') {
        memcpy(absolute, raw, strlen(raw) + 1);
        return true;
    }
    char base[k_path_size];
    return read_base_directory(call.pid, dirfd, base) && join_absolute(base, raw, absolute);
}

StageMode stage_mode_of(const PendingCall& call) {
    const bool audit = call.refusals != nullptr && call.refusals->audit;
    return audit ? StageMode::past_policy_refusals : StageMode::stop_at_refusal;
}

void copy_text(char (&out)[k_path_size], const char* text) {
    snprintf(out, sizeof(out), "%s", text);
}

// The path's refused stages, each kept for the log. The path passes when
// every stage allowed it, or when an audit lifts every refusal. written is
// the path as the caller or the file named it; program, for an interpreter,
// the program it runs.
bool settle_stages(const PendingCall& call, const PathStages& stages, bool allowed, Access access, const char* written,
                   const char* absolute, const char* program) {
    if (allowed) return true;
    const bool audit = call.refusals != nullptr && call.refusals->audit;
    bool lifted = audit;
    const char* paths[STAGE_COUNT] = {stages.lexical, stages.canonical, stages.followed};
    const StageReport* reported = nullptr;
    for (int i = 0; i < STAGE_COUNT; ++i) {
        const StageReport& report = stages.stage[i];
        if (!report.ran || report.allowed) continue;
        const bool liftable = !report.unresolved && is_policy_step(report.verdict.step);
        lifted = lifted && liftable;
        // A later stage that judged the same path alike says nothing new.
        const bool repeated =
            reported != nullptr && !report.unresolved && report.verdict.step == reported->verdict.step &&
            report.verdict.entry == reported->verdict.entry && strcmp(paths[i], paths[reported - stages.stage]) == 0;
        if (!report.unresolved) reported = &report;
        if (repeated) continue;
        Refusal* refusal =
            add_refusal(call.refusals, report.unresolved ? RefusalKind::unresolved : RefusalKind::path, access);
        if (refusal == nullptr) continue;
        refusal->lifted = audit && liftable;
        refusal->error = report.unresolved ? report.error : 0;
        refusal->stage = program[0] != 0 ? k_stage_interpreter : i;
        refusal->verdict = report.verdict;
        copy_text(refusal->written, written);
        copy_text(refusal->judged, report.unresolved ? absolute : paths[i]);
        copy_text(refusal->program, program);
    }
    return lifted;
}

// The interpreters the kernel opens to run the program at path (a script's
// "#!", an ELF program's loader), each judged as an execution in its turn.
// A file that cannot be read to tell is refused.
bool check_interpreters(const PendingCall& call, const char* path) {
    char program[k_path_size];
    memcpy(program, path, strlen(path) + 1);
    for (int level = 0; level < k_max_interpreters; ++level) {
        char named[k_path_size];
        const Interpreter found = read_interpreter(program, named, sizeof(named));
        if (found == Interpreter::none) return true;
        if (found == Interpreter::unreadable) return refuse_unreadable(call.refusals, ACCESS_EXEC, errno, program);
        // A relative name is opened from the caller's working directory.
        char absolute[k_path_size];
        if (!make_absolute(call, AT_FDCWD, named, absolute))
            return refuse_unreadable(call.refusals, ACCESS_EXEC, errno, named);
        PathStages stages;
        const bool allowed = judge_path_stages(call.policy, absolute, ACCESS_EXEC, LastLink::followed, call.tree,
                                               call.pid, &stages, stage_mode_of(call));
        if (!settle_stages(call, stages, allowed, ACCESS_EXEC, named, absolute, program)) return false;
        if (found == Interpreter::loader) return true;
        memcpy(program, stages.followed, strlen(stages.followed) + 1);
    }
    // Deeper nesting the kernel refuses itself.
    return true;
}

// Objects in /dev/shm and /dev/mqueue: only those the tree made.
bool check_ipc_object(const PendingCall& call, const char* path, Access access) {
    NamedKind kind;
    char name[k_tree_name_size];
    if (!name_of_ipc_path(path, &kind, name, sizeof(name))) return true;
    const bool made = has_tree_name(*call.made, kind, name);
    switch (judge_named_object(access, made, made || does_named_object_exist(kind, name))) {
    case ObjectRuling::allow: return true;
    case ObjectRuling::allow_and_record:
        return record_tree_name(call.made, kind, name) || refuse_for_rule(call.refusals, access, "objects_full", path);
    case ObjectRuling::refuse: break;
    }
    return refuse_for_rule(call.refusals, access, "not_tree_object", path);
}

// The operand the judgement under way records, or null when it was
// recorded by an earlier judgement of the same call.
JudgedTarget* new_target(JudgedOpen* opened) {
    return opened->next >= opened->count && opened->next < 2 ? &opened->targets[opened->next] : nullptr;
}

// Keeps what an allowed operand reaches: a path, or a descriptor's link and
// what it read. A later judgement of the same call that reached something
// else marks the record as conflicting.
void record_target(JudgedOpen* opened, const char* path, const char* expected, bool descriptor) {
    if (opened->next >= 2) return;
    JudgedTarget& target = opened->targets[opened->next];
    if (opened->next < opened->count) {
        if (target.descriptor != descriptor || strcmp(target.path, path) != 0 ||
            strcmp(target.expected, expected) != 0) {
            opened->conflicting = true;
        }
    } else {
        target.descriptor = descriptor;
        copy_text(target.path, path);
        copy_text(target.expected, expected);
        opened->count = static_cast<uint8_t>(opened->next + 1);
    }
    ++opened->next;
}

// A descriptor entry that is missing while the call is pending names no
// descriptor of the caller: the kernel would answer EBADF, which tells the
// tree nothing it does not know.
bool refuse_unreadable_link(const PendingCall& call, Access access, int error, const char* link, int fd) {
    bool missing = false;
    if (fd >= 0) {
        char entry[64];
        snprintf(entry, sizeof(entry), "/proc/%d/fd/%d", call.pid, fd);
        struct stat status;
        missing = lstat(entry, &status) != 0 && errno == ENOENT && is_call_pending(call);
    }
    return refuse_unreadable(call.refusals, access, error, link, missing ? EBADF : 0);
}

bool check_descriptor_link(const PendingCall& call, const char* link, const char* fdinfo, int fd, Access access) {
    char target[k_path_size];
    if (read_link(link, target, sizeof(target)) < 0) return refuse_unreadable_link(call, access, errno, link, fd);
    // The link is the caller's only if its call is still pending now.
    if (!is_call_pending(call)) return refuse_gone(call.refusals);
    RuleVerdict why{};
    if (!judge_descriptor_target(call.policy, target, fdinfo, access, call.tree, &why)) {
        const bool audit = call.refusals != nullptr && call.refusals->audit;
        Refusal* refusal = add_refusal(call.refusals, RefusalKind::path, access);
        if (refusal != nullptr) {
            refusal->lifted = audit && is_policy_step(why.step);
            refusal->stage = k_stage_descriptor;
            refusal->verdict = why;
            refusal->fd = fd;
            copy_text(refusal->judged, target);
        }
        if (!audit || !is_policy_step(why.step)) return false;
    }
    if (call.opened != nullptr) record_target(call.opened, link, target, true);
    return access != ACCESS_EXEC || check_interpreters(call, target);
}

}  // namespace

bool check_tracee_descriptor(const PendingCall& call, int fd, Access access) {
    char link[64];
    char fdinfo[64];
    fdinfo[0] = 0;
    if (fd == AT_FDCWD) {
        snprintf(link, sizeof(link), "/proc/%d/cwd", call.pid);
    } else if (fd < 0) {
        return refuse_for_rule(call.refusals, access, "bad_descriptor");
    } else {
        snprintf(link, sizeof(link), "/proc/%d/fd/%d", call.pid, fd);
        snprintf(fdinfo, sizeof(fdinfo), "/proc/%d/fdinfo/%d", call.pid, fd);
    }
    return check_descriptor_link(call, link, fdinfo, fd, access);
}

bool check_path_text(const PendingCall& call, int dirfd, const char* raw, Access access, LastLink last) {
    const bool only_directory = ends_at_directory(raw);
    if (only_directory) last = LastLink::followed;
    JudgedTarget* target = call.opened != nullptr ? new_target(call.opened) : nullptr;
    if (target != nullptr) {
        target->ends_at_directory = only_directory;
        target->followed = last == LastLink::followed;
        target->dirfd = dirfd;
        // Only openat2's own limits on the walk look at the path as written.
        if (call.opened->how.resolve != 0) copy_text(target->written, raw);
    }
    char absolute[k_path_size];
    if (!make_absolute(call, dirfd, raw, absolute)) return refuse_unreadable_link(call, access, errno, raw, dirfd);
    if (target != nullptr) {
        // absolute is the base, "/" and raw.
        const size_t base_length = raw[0] == '/' ? 0 : strlen(absolute) - strlen(raw) - 1;
        memcpy(target->base, absolute, base_length);
        target->base[base_length] = 0;
    }

    // Everything read so far (the string, the base directory) belongs to
    // this call only if the call is still pending now.
    if (!is_call_pending(call)) return refuse_gone(call.refusals);

    PathStages stages;
    const bool allowed =
        judge_path_stages(call.policy, absolute, access, last, call.tree, call.pid, &stages, stage_mode_of(call));
    if (!settle_stages(call, stages, allowed, access, raw, absolute, "")) return false;
    const bool followed = stages.stage[STAGE_FOLLOWED].ran;
    const char* final_path = followed ? stages.followed : stages.canonical;
    char link[64];
    char fdinfo[64];
    if (followed && name_descriptor_path(stages.followed, call.pid, link, fdinfo, sizeof(link))) {
        return check_descriptor_link(call, link, fdinfo, -1, access);
    }
    if (!check_ipc_object(call, final_path, access)) return false;
    // A final link the call does not follow is opened as the link itself.
    if (call.opened != nullptr)
        record_target(call.opened, last == LastLink::followed ? final_path : stages.canonical, stages.canonical, false);
    return access != ACCESS_EXEC || check_interpreters(call, final_path);
}

bool check_tracee_path(const PendingCall& call, const PathOperand& operand) {
    char raw[k_path_size];
    if (operand.address == 0) {
        // Newer kernels take a null path with AT_EMPTY_PATH as the empty
        // path; older ones fail it. Either way nothing else is named.
        if (!operand.empty_acts_on_dirfd && !operand.null_acts_on_dirfd) {
            return refuse_unreadable(call.refusals, operand.access, EFAULT, "");
        }
        raw[0] = 0;
    } else if (!copy_tracee_path(call.pid, operand.address, raw)) {
        return refuse_unreadable(call.refusals, operand.access, errno, "");
    } else if (raw[0] == 0 && !operand.empty_acts_on_dirfd) {
        return refuse_for_rule(call.refusals, operand.access, "empty_path");
    }

    if (raw[0] == 0) {
        JudgedTarget* target = call.opened != nullptr ? new_target(call.opened) : nullptr;
        if (target != nullptr) {
            target->ends_at_directory = false;
            target->followed = true;
            target->dirfd = operand.dirfd;
            target->base[0] = 0;
            target->written[0] = 0;
        }
        // The call acts on dirfd itself. Looking at it or reading it is
        // what the caller can do with the descriptor anyway.
        if (operand.access == ACCESS_STAT || operand.access == ACCESS_READ) {
            if (call.opened != nullptr) record_target(call.opened, "", "", false);
            return true;
        }
        return check_tracee_descriptor(call, operand.dirfd, operand.access);
    }
    return check_path_text(call, operand.dirfd, raw, operand.access, operand.last);
}
