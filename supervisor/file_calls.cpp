#include "supervisor/file_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "supervisor/judged_open.h"
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

// Flags the older open calls ignore: openat2 refuses them, so they are
// dropped before the supervisor opens with it.
constexpr uint64_t k_valid_open_flags = O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_APPEND | O_NONBLOCK |
                                        O_DSYNC | FASYNC | O_DIRECT | O_LARGEFILE | O_DIRECTORY | O_NOFOLLOW |
                                        O_NOATIME | O_CLOEXEC | O_PATH | __O_TMPFILE | O_SYNC;
constexpr uint64_t k_path_open_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr uint64_t k_mode_bits = 07777;

// The open as the kernel takes the caller's arguments. read is openat2's
// struct, read once for judging and never again.
OpenHow how_of_open(const CallRow& row, const uint64_t* args, const OpenHow& read) {
    OpenHow how{};
    switch (row.open_form) {
    case OpenForm::none: break;
    case OpenForm::open_how: how = read; break;
    case OpenForm::create:
        how.flags = O_CREAT | O_WRONLY | O_TRUNC;
        how.mode = args[row.paths[0].path + 1] & k_mode_bits;
        break;
    case OpenForm::flags_then_mode: {
        const int8_t flags_arg = row.paths[0].access_arg;
        how.flags = static_cast<uint32_t>(args[flags_arg]) & k_valid_open_flags;
        if (how.flags & O_PATH) how.flags &= k_path_open_flags;
        if (how.flags & (O_CREAT | __O_TMPFILE)) how.mode = args[flags_arg + 1] & k_mode_bits;
        break;
    }
    }
    return how;
}

// Keeps the flags the first judgement of the call read; a later one that
// read others means the caller changed them meanwhile.
void keep_open_how(JudgedOpen* opened, const OpenHow& how) {
    opened->next = 0;
    if (!is_recorded(*opened)) {
        opened->how = how;
    } else if (memcmp(&opened->how, &how, sizeof(how)) != 0) {
        opened->conflicting = true;
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
    OpenHow how{};
    if (row.open_how_arg != k_no_arg) {
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
    if (call.opened != nullptr) keep_open_how(call.opened, how_of_open(row, args, how));
    for (uint8_t i = 0; i < row.path_count; ++i) {
        if (!check_tracee_path(call, make_operand(row.paths[i], args, open_flags, k_native.o_nofollow))) return false;
    }
    return true;
}
