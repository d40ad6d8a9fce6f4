#include "supervisor/file_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include "path/path_rules.h"

namespace {

constexpr uint64_t k_write_mask = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;  // 0x643
constexpr uint64_t k_o_path = 0x200000;
constexpr uint64_t k_at_symlink_nofollow = 0x100;
constexpr uint64_t k_at_empty_path = 0x1000;

constexpr PathSlot fixed(int8_t dirfd, int8_t path, Access access, FlagRule follow, FlagRule empty = RULE_NO,
                         int8_t flags = k_no_arg) {
    return {dirfd, path, static_cast<uint8_t>(access), ACCESS_FIXED, k_no_arg, follow, empty, flags};
}
constexpr PathSlot opened(int8_t dirfd, int8_t path, int8_t flags) {
    return {dirfd, path, 0, ACCESS_BY_OPEN_FLAGS, flags, RULE_BY_OPEN_FLAGS, RULE_NO, flags};
}
constexpr PathSlot probed(int8_t dirfd, int8_t path, int8_t mode, FlagRule follow, int8_t flags = k_no_arg) {
    return {dirfd, path, 0, ACCESS_BY_MODE, mode, follow, follow == RULE_BY_AT_FLAGS ? RULE_BY_AT_FLAGS : RULE_NO,
            flags};
}
constexpr PathSlot at_flags(int8_t dirfd, int8_t path, Access access, int8_t flags) {
    return fixed(dirfd, path, access, RULE_BY_AT_FLAGS, RULE_BY_AT_FLAGS, flags);
}

constexpr int8_t N = k_no_arg;

const FileCall k_file_calls[] = {
    {CALL_OPEN, 1, {opened(N, 0, 1)}},
    {CALL_CREAT, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_OPENAT, 1, {opened(0, 1, 2)}},
    {CALL_OPENAT2, 1, {opened(0, 1, 2)}},
    {CALL_STAT, 1, {fixed(N, 0, ACCESS_STAT, RULE_YES)}},
    {CALL_LSTAT, 1, {fixed(N, 0, ACCESS_STAT, RULE_NO)}},
    {CALL_NEWFSTATAT, 1, {at_flags(0, 1, ACCESS_STAT, 3)}},
    {CALL_STATX, 1, {at_flags(0, 1, ACCESS_STAT, 2)}},
    {CALL_READLINK, 1, {fixed(N, 0, ACCESS_STAT, RULE_NO)}},
    {CALL_READLINKAT, 1, {fixed(0, 1, ACCESS_STAT, RULE_NO, RULE_YES)}},
    {CALL_ACCESS, 1, {probed(N, 0, 1, RULE_YES)}},
    {CALL_FACCESSAT, 1, {probed(0, 1, 2, RULE_YES)}},
    {CALL_FACCESSAT2, 1, {probed(0, 1, 2, RULE_BY_AT_FLAGS, 3)}},
    {CALL_MKDIR, 1, {fixed(N, 0, ACCESS_WRITE, RULE_NO)}},
    {CALL_MKDIRAT, 1, {fixed(0, 1, ACCESS_WRITE, RULE_NO)}},
    {CALL_MKNOD, 1, {fixed(N, 0, ACCESS_WRITE, RULE_NO)}},
    {CALL_MKNODAT, 1, {fixed(0, 1, ACCESS_WRITE, RULE_NO)}},
    {CALL_TRUNCATE, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_CHMOD, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_FCHMODAT, 1, {fixed(0, 1, ACCESS_WRITE, RULE_YES)}},
    {CALL_FCHMODAT2, 1, {fixed(0, 1, ACCESS_WRITE, RULE_YES)}},
    {CALL_CHOWN, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_LCHOWN, 1, {fixed(N, 0, ACCESS_WRITE, RULE_NO)}},
    {CALL_FCHOWNAT, 1, {at_flags(0, 1, ACCESS_WRITE, 4)}},
    {CALL_UTIMENSAT, 1, {at_flags(0, 1, ACCESS_WRITE, 3)}},
    {CALL_SYMLINK, 1, {fixed(N, 1, ACCESS_WRITE, RULE_NO)}},
    {CALL_SYMLINKAT, 1, {fixed(1, 2, ACCESS_WRITE, RULE_NO)}},
    {CALL_UNLINK, 1, {fixed(N, 0, ACCESS_DELETE, RULE_NO)}},
    {CALL_RMDIR, 1, {fixed(N, 0, ACCESS_DELETE, RULE_NO)}},
    {CALL_UNLINKAT, 1, {fixed(0, 1, ACCESS_DELETE, RULE_NO)}},
    {CALL_EXECVE, 1, {fixed(N, 0, ACCESS_EXEC, RULE_YES)}},
    {CALL_EXECVEAT, 1, {at_flags(0, 1, ACCESS_EXEC, 4)}},
    {CALL_RENAME, 2, {fixed(N, 0, ACCESS_DELETE, RULE_NO), fixed(N, 1, ACCESS_DELETE, RULE_NO)}},
    {CALL_RENAMEAT, 2, {fixed(0, 1, ACCESS_DELETE, RULE_NO), fixed(2, 3, ACCESS_DELETE, RULE_NO)}},
    {CALL_RENAMEAT2, 2, {fixed(0, 1, ACCESS_DELETE, RULE_NO), fixed(2, 3, ACCESS_DELETE, RULE_NO)}},
    {CALL_LINK, 2, {fixed(N, 0, ACCESS_WRITE, RULE_YES), fixed(N, 1, ACCESS_WRITE, RULE_NO)}},
    // The source of a link is followed whatever AT_SYMLINK_FOLLOW says; only
    // AT_EMPTY_PATH is read.
    {CALL_LINKAT, 2, {fixed(0, 1, ACCESS_WRITE, RULE_YES, RULE_BY_AT_FLAGS, 4), fixed(2, 3, ACCESS_WRITE, RULE_NO)}},
    // Extended attributes and old time calls change files like chmod does.
    {CALL_SETXATTR, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_LSETXATTR, 1, {fixed(N, 0, ACCESS_WRITE, RULE_NO)}},
    {CALL_REMOVEXATTR, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_LREMOVEXATTR, 1, {fixed(N, 0, ACCESS_WRITE, RULE_NO)}},
    {CALL_SETXATTRAT, 1, {at_flags(0, 1, ACCESS_WRITE, 2)}},
    {CALL_REMOVEXATTRAT, 1, {at_flags(0, 1, ACCESS_WRITE, 2)}},
    {CALL_FILE_SETATTR, 1, {at_flags(0, 1, ACCESS_WRITE, 4)}},
    {CALL_UTIME, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_UTIMES, 1, {fixed(N, 0, ACCESS_WRITE, RULE_YES)}},
    {CALL_FUTIMESAT, 1, {fixed(0, 1, ACCESS_WRITE, RULE_YES)}},
};

int apply_flag_rule(FlagRule rule, uint64_t flags, uint64_t at_bit, unsigned o_nofollow) {
    switch (rule) {
    case RULE_NO: return 0;
    case RULE_YES: return 1;
    case RULE_BY_AT_FLAGS:
        if (at_bit == k_at_symlink_nofollow) return (flags & k_at_symlink_nofollow) == 0;
        return (flags & k_at_empty_path) != 0;
    case RULE_BY_OPEN_FLAGS: return (flags & o_nofollow) == 0;
    }
    return 0;
}

}  // namespace

int access_of_open_flags(uint64_t flags) {
    if (flags & k_write_mask) return ACCESS_WRITE;
    if (flags & k_o_path) return ACCESS_STAT;
    return ACCESS_READ;
}

int access_of_mode(uint64_t mode) {
    if (mode & W_OK) return ACCESS_WRITE;
    if (mode & R_OK) return ACCESS_READ;
    return ACCESS_STAT;
}

const FileCall* find_file_call(CallId id) {
    for (const FileCall& call : k_file_calls) {
        if (call.id == id) return &call;
    }
    return nullptr;
}

PathOperand make_operand(const PathSlot& slot, const uint64_t* args, uint64_t open_flags, unsigned o_nofollow) {
    PathOperand operand;
    operand.dirfd = slot.dirfd_arg == k_no_arg ? AT_FDCWD : static_cast<int>(static_cast<uint32_t>(args[slot.dirfd_arg]));
    operand.address = args[slot.path_arg];
    uint64_t flags = slot.flags_arg == k_no_arg ? 0 : args[slot.flags_arg];
    switch (slot.access_rule) {
    case ACCESS_FIXED: operand.access = slot.access; break;
    case ACCESS_BY_OPEN_FLAGS: operand.access = access_of_open_flags(open_flags); break;
    case ACCESS_BY_MODE: operand.access = access_of_mode(args[slot.access_arg]); break;
    }
    if (slot.follow == RULE_BY_OPEN_FLAGS) flags = open_flags;
    operand.follow = apply_flag_rule(slot.follow, flags, k_at_symlink_nofollow, o_nofollow);
    operand.empty_path_result = apply_flag_rule(slot.empty, flags, k_at_empty_path, o_nofollow);
    return operand;
}
