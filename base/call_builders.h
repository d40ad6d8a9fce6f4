// The builders the table of calls is written with (base/call_table.cpp):
// rows of each kind, their path operands, and the argument rules of calls
// the filter decides by their arguments.
#pragma once

#include "base/call_table.h"

inline constexpr int8_t k_cwd = k_no_arg;  // no directory argument: AT_FDCWD

// Rows.

constexpr CallRow fail(const char* name, int x86_64, int aarch64, FilterRule rule) {
    CallRow row = {name, x86_64, aarch64};
    row.filter = rule;
    return row;
}

constexpr CallRow judged(const char* name, int x86_64, int aarch64, Judge judge) {
    CallRow row = {name, x86_64, aarch64};
    row.judge = judge;
    return row;
}

// A call the filter decides by its arguments; judge takes those it notifies.
constexpr CallRow by_args(const char* name, int x86_64, int aarch64, const ArgRules* rules, Judge judge = Judge::none) {
    CallRow row = judged(name, x86_64, aarch64, judge);
    row.filter = FilterRule::by_args;
    row.args = rules;
    return row;
}

constexpr CallRow file(const char* name, int x86_64, int aarch64, PathArg path) {
    CallRow row = judged(name, x86_64, aarch64, Judge::paths);
    row.path_count = 1;
    row.paths[0] = path;
    return row;
}

// Two paths, judged in this order; a refused first one ends the judgement.
constexpr CallRow file(const char* name, int x86_64, int aarch64, PathArg first, PathArg second) {
    CallRow row = file(name, x86_64, aarch64, first);
    row.path_count = 2;
    row.paths[1] = second;
    return row;
}

constexpr CallRow with_open_how(CallRow row, int8_t arg) {
    row.open_how_arg = arg;
    row.open_form = OpenForm::open_how;
    return row;
}

constexpr CallRow with_open_form(CallRow row, OpenForm form) {
    row.open_form = form;
    return row;
}

constexpr CallRow carried_out(CallRow row, ChangeForm form) {
    row.change = form;
    return row;
}

constexpr CallRow sent_as(CallRow row, SignalForm form) {
    row.signal = form;
    return row;
}

constexpr CallRow with_device_mode(CallRow row, int8_t arg) {
    row.device_mode_arg = arg;
    return row;
}

// A System V call of kind; command_arg holds its control command, if any.
constexpr CallRow ipc(const char* name, int x86_64, int aarch64, Judge judge, IpcKind kind,
                      int8_t command_arg = k_no_arg) {
    CallRow row = judged(name, x86_64, aarch64, judge);
    row.ipc = kind;
    row.ipc_command_arg = command_arg;
    return row;
}

// Path operands.

// A path with a fixed class and a fixed rule for a final link.
constexpr PathArg named(int8_t dirfd, int8_t path, Access access, Follow follow) {
    PathArg arg;
    arg.dirfd = dirfd;
    arg.path = path;
    arg.access = access;
    arg.follow = follow;
    return arg;
}

// A path opened with the flags in argument flags.
constexpr PathArg opened(int8_t dirfd, int8_t path, int8_t flags) {
    PathArg arg = named(dirfd, path, ACCESS_STAT, Follow::unless_o_nofollow);
    arg.access_from = AccessFrom::open_flags;
    arg.access_arg = flags;
    arg.flags_arg = flags;
    return arg;
}

// A path judged by the at-flags in argument flags: a final link followed
// unless AT_SYMLINK_NOFOLLOW, an empty path naming the descriptor with
// AT_EMPTY_PATH.
constexpr PathArg at_flags(int8_t dirfd, int8_t path, Access access, int8_t flags) {
    PathArg arg = named(dirfd, path, access, Follow::unless_at_symlink_nofollow);
    arg.empty = EmptyPath::acts_on_dirfd_with_empty_flag;
    arg.flags_arg = flags;
    return arg;
}

// An access(2) probe with the mode in argument mode.
constexpr PathArg probed(int8_t dirfd, int8_t path, int8_t mode, Follow follow) {
    PathArg arg = named(dirfd, path, ACCESS_STAT, follow);
    arg.access_from = AccessFrom::probe_mode;
    arg.access_arg = mode;
    return arg;
}

// The same, with at-flags in argument flags.
constexpr PathArg probed_at_flags(int8_t dirfd, int8_t path, int8_t mode, int8_t flags) {
    PathArg arg = at_flags(dirfd, path, ACCESS_STAT, flags);
    arg.access_from = AccessFrom::probe_mode;
    arg.access_arg = mode;
    return arg;
}

constexpr PathArg with_empty(PathArg arg, EmptyPath empty, int8_t flags = k_no_arg) {
    arg.empty = empty;
    if (flags != k_no_arg) arg.flags_arg = flags;
    return arg;
}

constexpr PathArg with_null_on_dirfd(PathArg arg) {
    arg.null_acts_on_dirfd = true;
    return arg;
}

// Argument rules.

constexpr ArgCond arg_is(uint8_t arg, uint32_t value) {
    return {arg, CondOp::equal, 0xffffffff, value};
}

constexpr ArgCond arg_is_not(uint8_t arg, uint32_t value) {
    return {arg, CondOp::not_equal, 0xffffffff, value};
}

// (argument & mask) == value
constexpr ArgCond arg_masked_is(uint8_t arg, uint32_t mask, uint32_t value) {
    return {arg, CondOp::equal, mask, value};
}

constexpr ArgCond has_any_bit(uint8_t arg, uint32_t mask) {
    return {arg, CondOp::any_bit, mask, 0};
}

constexpr ArgCond has_no_bit(uint8_t arg, uint32_t mask) {
    return {arg, CondOp::no_bit, mask, 0};
}

constexpr ArgClause when(Outcome outcome, ArgCond cond) {
    return {outcome, 1, {cond, {}}};
}

constexpr ArgClause when(Outcome outcome, ArgCond first, ArgCond second) {
    return {outcome, 2, {first, second}};
}

template <size_t N>
constexpr ArgRules rules(const ArgClause (&clauses)[N], Outcome otherwise) {
    static_assert(N < 256, "clauses of one call");
    return {clauses, static_cast<uint8_t>(N), otherwise};
}
