#include "supervisor/path_check.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "base/io.h"
#include "path/descriptor.h"
#include "path/interpreter.h"
#include "path/operand.h"
#include "rules/ipc_rules.h"
#include "rules/staged_check.h"
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
        if (found == Interpreter::unreadable) return false;
        // A relative name is opened from the caller's working directory.
        char absolute[k_path_size];
        if (!make_absolute(call, AT_FDCWD, named, absolute)) return false;
        PathStages stages;
        if (!judge_path_stages(call.policy, absolute, ACCESS_EXEC, LastLink::followed, call.tree, call.pid, &stages)) {
            return false;
        }
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
    case ObjectRuling::allow_and_record: return record_tree_name(call.made, kind, name);
    case ObjectRuling::refuse: return false;
    }
    return false;
}

bool check_descriptor_link(const PendingCall& call, const char* link, const char* fdinfo, Access access) {
    char target[k_path_size];
    if (read_link(link, target, sizeof(target)) < 0) return false;
    // The link is the caller's only if its call is still pending now.
    if (!is_call_pending(call)) return false;
    if (!judge_descriptor_target(call.policy, target, fdinfo, access, call.tree, nullptr)) return false;
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
        return false;
    } else {
        snprintf(link, sizeof(link), "/proc/%d/fd/%d", call.pid, fd);
        snprintf(fdinfo, sizeof(fdinfo), "/proc/%d/fdinfo/%d", call.pid, fd);
    }
    return check_descriptor_link(call, link, fdinfo, access);
}

bool check_path_text(const PendingCall& call, int dirfd, const char* raw, Access access, LastLink last) {
    if (ends_at_directory(raw)) last = LastLink::followed;
    char absolute[k_path_size];
    if (!make_absolute(call, dirfd, raw, absolute)) return false;

    // Everything read so far (the string, the base directory) belongs to
    // this call only if the call is still pending now.
    if (!is_call_pending(call)) return false;

    PathStages stages;
    if (!judge_path_stages(call.policy, absolute, access, last, call.tree, call.pid, &stages)) return false;
    const bool followed = stages.stage[STAGE_FOLLOWED].ran;
    const char* final_path = followed ? stages.followed : stages.canonical;
    char link[64];
    char fdinfo[64];
    if (followed && name_descriptor_path(stages.followed, call.pid, link, fdinfo, sizeof(link))) {
        return check_descriptor_link(call, link, fdinfo, access);
    }
    if (!check_ipc_object(call, final_path, access)) return false;
    return access != ACCESS_EXEC || check_interpreters(call, final_path);
}

bool check_tracee_path(const PendingCall& call, const PathOperand& operand) {
    char raw[k_path_size];
    if (operand.address == 0) {
        // Newer kernels take a null path with AT_EMPTY_PATH as the empty
        // path; older ones fail it. Either way nothing else is named.
        if (!operand.empty_acts_on_dirfd && !operand.null_acts_on_dirfd) return false;
        raw[0] = 0;
    } else if (!copy_tracee_path(call.pid, operand.address, raw)) {
        return false;
    } else if (raw[0] == 0 && !operand.empty_acts_on_dirfd) {
        return false;
    }

    if (raw[0] == 0) {
        // The call acts on dirfd itself. Looking at it or reading it is
        // what the caller can do with the descriptor anyway.
        if (operand.access == ACCESS_STAT || operand.access == ACCESS_READ) return true;
        return check_tracee_descriptor(call, operand.dirfd, operand.access);
    }
    return check_path_text(call, operand.dirfd, raw, operand.access, operand.last);
}
