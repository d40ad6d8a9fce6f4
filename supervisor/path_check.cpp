#include "supervisor/path_check.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "base/io.h"
#include "path/descriptor.h"
#include "path/operand.h"
#include "rules/staged_check.h"

namespace {

bool check_descriptor_link(const PendingCall& call, const char* link, const char* fdinfo, Access access) {
    char target[k_path_size];
    if (read_link(link, target, sizeof(target)) < 0) return false;
    // The link is the caller's only if its call is still pending now.
    if (!is_call_pending(call)) return false;
    return judge_descriptor_target(call.policy, target, fdinfo, access, call.tree, nullptr);
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
    const LastLink last = ends_at_directory(raw) ? LastLink::followed : operand.last;

    char absolute[k_path_size];
    if (raw[0] == '/') {
        memcpy(absolute, raw, strlen(raw) + 1);
    } else {
        char base[k_path_size];
        if (!read_base_directory(call.pid, operand.dirfd, base) || !join_absolute(base, raw, absolute)) return false;
    }

    // Everything read so far (the string, the base directory) belongs to
    // this call only if the call is still pending now.
    if (!is_call_pending(call)) return false;

    PathStages stages;
    if (!judge_path_stages(call.policy, absolute, operand.access, last, call.tree, call.pid, &stages)) return false;
    char link[64];
    char fdinfo[64];
    if (stages.stage[STAGE_FOLLOWED].ran &&
        name_descriptor_path(stages.followed, call.pid, link, fdinfo, sizeof(link))) {
        return check_descriptor_link(call, link, fdinfo, operand.access);
    }
    return true;
}
