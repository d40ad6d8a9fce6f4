#include "supervisor/file_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "supervisor/refusal.h"

namespace {

constexpr uint64_t k_write_mask = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;

// The low 32 bits of a descriptor argument, as the kernel takes them.
int descriptor_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

LastLink last_link_of(Follow follow, uint64_t flags, unsigned o_nofollow) {
    bool followed = false;
    switch (follow) {
    case Follow::never: followed = false; break;
    case Follow::always: followed = true; break;
    case Follow::unless_at_symlink_nofollow: followed = (flags & AT_SYMLINK_NOFOLLOW) == 0; break;
    case Follow::unless_o_nofollow: followed = (flags & o_nofollow) == 0; break;
    }
    return followed ? LastLink::followed : LastLink::not_followed;
}

bool is_device_node(uint64_t mode) {
    return S_ISCHR(static_cast<mode_t>(mode)) || S_ISBLK(static_cast<mode_t>(mode));
}

// The flags a log line shows: how the call opens, probes or follows.
void note_flags(CallRefusals* refusals, const CallRow& row, const uint64_t* args, uint64_t open_flags) {
    const PathArg& first = row.paths[0];
    if (row.open_how_arg != k_no_arg || first.access_from == AccessFrom::open_flags) {
        refusals->flag_kind = FlagKind::open;
        refusals->flags = open_flags;
    } else if (first.access_from == AccessFrom::probe_mode) {
        refusals->flag_kind = FlagKind::access_mode;
        refusals->flags = args[first.access_arg];
    } else if (first.flags_arg != k_no_arg) {
        refusals->flag_kind = FlagKind::at;
        refusals->flags = args[first.flags_arg];
    }
}

}  // namespace

Access access_of_open_flags(uint64_t flags) {
    if (flags & k_write_mask) return ACCESS_WRITE;
    if (flags & O_PATH) return ACCESS_STAT;
    return ACCESS_READ;
}

Access access_of_mode(uint64_t mode) {
    if (mode & W_OK) return ACCESS_WRITE;
    if (mode & R_OK) return ACCESS_READ;
    return ACCESS_STAT;
}

PathOperand make_operand(const PathArg& arg, const uint64_t* args, uint64_t open_flags, unsigned o_nofollow) {
    PathOperand operand;
    operand.dirfd = arg.dirfd == k_no_arg ? AT_FDCWD : descriptor_of(args[arg.dirfd]);
    operand.address = args[arg.path];
    switch (arg.access_from) {
    case AccessFrom::fixed: operand.access = arg.access; break;
    case AccessFrom::open_flags: operand.access = access_of_open_flags(open_flags); break;
    case AccessFrom::probe_mode: operand.access = access_of_mode(args[arg.access_arg]); break;
    }
    uint64_t flags = arg.flags_arg == k_no_arg ? 0 : args[arg.flags_arg];
    if (arg.follow == Follow::unless_o_nofollow) flags = open_flags;
    operand.last = last_link_of(arg.follow, flags, o_nofollow);
    operand.empty_acts_on_dirfd = arg.empty == EmptyPath::acts_on_dirfd ||
                                  (arg.empty == EmptyPath::acts_on_dirfd_with_empty_flag && (flags & AT_EMPTY_PATH));
    operand.null_acts_on_dirfd = arg.null_acts_on_dirfd;
    return operand;
}

bool check_file_call(const PendingCall& call, const CallRow& row, const uint64_t* args) {
    uint64_t open_flags = 0;
    if (row.open_how_arg != k_no_arg) {
        OpenHow how;
        if (!read_tracee_mem(call.pid, args[row.open_how_arg], &how, sizeof(how))) {
            return refuse_unreadable(call.refusals, ACCESS_READ, errno, "");
        }
        // RESOLVE_IN_ROOT makes an absolute path start at the descriptor,
        // not at "/": the path would name another file than it says.
        if (how.resolve & k_resolve_in_root) return refuse_for_rule(call.refusals, ACCESS_READ, "resolve_in_root");
        open_flags = how.flags;
    } else if (row.paths[0].access_from == AccessFrom::open_flags) {
        open_flags = args[row.paths[0].access_arg];
    }
    if (row.device_mode_arg != k_no_arg && is_device_node(args[row.device_mode_arg])) {
        return refuse_for_rule(call.refusals, ACCESS_WRITE, "device_node");
    }

    if (call.refusals != nullptr) note_flags(call.refusals, row, args, open_flags);
    for (uint8_t i = 0; i < row.path_count; ++i) {
        if (!check_tracee_path(call, make_operand(row.paths[i], args, open_flags, k_native.o_nofollow))) return false;
    }
    return true;
}
