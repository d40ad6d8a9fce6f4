// The table of calls: one row for every system call the filter names, with
// its numbers on both architectures, what the filter does with it, and for
// a call the supervisor judges, how. The filter (launcher/filter.cpp), the
// supervisor's dispatch (supervisor/dispatch.cpp) and their tests are all
// derived from it; nothing else lists calls.
//
// Adding a call is adding its row in k_calls (base/call_table.cpp) and its
// tests:
//   - the numbers from the kernel's tables (arch/x86/entry/syscalls/
//     syscall_64.tbl, include/uapi/asm-generic/unistd.h), k_absent where an
//     architecture lacks the call; a unit test compares the build's own
//     column with the C library's __NR_ constants;
//   - the filter's rule: refused outright, refused by an argument test, or
//     notified;
//   - for a notified call, the Judge; a file call names its path operands
//     with the builders below (directory and path arguments, access class,
//     whether a final link is followed, what an empty path means);
//   - a row of the end-to-end tables through the probe (tests/probe.cpp
//     takes the call's number by its name from this table), and the
//     checked-in disassembly of both filters (tests/unit/filter_*.txt),
//     rewritten with SANDBOX_FILTER_TEXT_DIR (see HACKING.md).
// A number the filter notifies but no Judge handles is refused with EPERM;
// a unit test runs dispatch over every notified number of both builds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/access.h"
#include "base/arch.h"

inline constexpr int k_absent = -1;     // the architecture has no such call
inline constexpr int8_t k_no_arg = -1;  // no such argument (no directory: AT_FDCWD)
inline constexpr int k_nr_limit = 512;  // every number in the table lies below

// What the filter does with a call.
enum class FilterRule : uint8_t {
    notify,             // suspends it for the supervisor, which judges it
    fail_enosys,        // fails it at once: programs fall back to plain calls
    fail_eperm,         // fails it at once
    fail_eperm_if_arg,  // fails it when its argument test holds, else lets it run
};

// A test on the low 32 bits of one argument, for FilterRule::fail_eperm_if_arg.
struct ArgTest {
    uint8_t arg = 0;
    bool any_bit = false;     // holds when any bit of values[0] is set
    uint8_t value_count = 0;  // otherwise: when it equals one of the values
    uint32_t values[2] = {};
};

// How the supervisor judges a notified call.
enum class Judge : uint8_t {
    none,          // never notified: the filter decides alone
    paths,         // each path operand in turn, in the row's order
    refuse,        // always EPERM
    signal,        // the target process in argument 0
    pidfd_signal,  // the process behind the pidfd in argument 0
    connect,       // the address in arguments 1 and 2
    sendto,        // the address in arguments 4 and 5; none: the connected peer
    sendmsg,       // the msg_name of the msghdr at argument 1
    sendmmsg,      // those of the argument-2 mmsghdrs at argument 1
};

// Where the access class of a path operand comes from.
enum class AccessFrom : uint8_t {
    fixed,       // the row's class
    open_flags,  // write for O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND; stat for O_PATH; else read
    probe_mode,  // access(2): write for W_OK, read for R_OK, else stat
};

// Whether the call follows a final symbolic link.
enum class Follow : uint8_t {
    never,
    always,
    unless_at_symlink_nofollow,  // in the flags argument
    unless_o_nofollow,           // in the open flags
};

// What an empty path string names.
enum class EmptyPath : uint8_t {
    refused,                        // nothing: the kernel fails it with ENOENT
    acts_on_dirfd,                  // the directory descriptor itself
    acts_on_dirfd_with_empty_flag,  // the descriptor when AT_EMPTY_PATH is in the flags argument
};

// One path operand of a file call.
struct PathArg {
    int8_t dirfd = k_no_arg;  // the argument holding the directory; k_no_arg: AT_FDCWD
    int8_t path = 0;          // the argument holding the path's address
    AccessFrom access_from = AccessFrom::fixed;
    Access access = ACCESS_STAT;   // for AccessFrom::fixed
    int8_t access_arg = k_no_arg;  // the open flags or the probe mode
    Follow follow = Follow::never;
    EmptyPath empty = EmptyPath::refused;
    int8_t flags_arg = k_no_arg;      // the flags that follow and empty read
    bool null_acts_on_dirfd = false;  // a null path changes the descriptor itself
};

struct CallRow {
    const char* name;
    int x86_64;  // k_absent: no such call
    int aarch64;
    FilterRule filter = FilterRule::notify;
    ArgTest arg_test = {};
    Judge judge = Judge::none;
    uint8_t path_count = 0;
    PathArg paths[2] = {};
    int8_t open_how_arg = k_no_arg;     // the open flags are in the struct open_how there
    int8_t device_mode_arg = k_no_arg;  // a mode there that makes a device node is refused
};

// The builders the table is written with.

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

// The table, in the order the filter compares the calls.
extern const CallRow k_calls[];
extern const size_t k_call_count;

// The row's number on arch, or k_absent.
constexpr int call_number(const CallRow& row, Arch arch) {
    return arch == Arch::x86_64 ? row.x86_64 : row.aarch64;
}

// The row the filter of arch names with number nr, or null. Constant time:
// dispatch asks once per notification.
[[nodiscard]] const CallRow* find_call(Arch arch, long nr);

// The row of the call with this name, or null.
[[nodiscard]] const CallRow* find_call_by_name(const char* name);

// The build's number of the named call, or k_absent when the build lacks it
// (or no row has that name).
[[nodiscard]] int native_number_of(const char* name);
