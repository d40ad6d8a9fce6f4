// Walking to what a call was judged to reach, from the supervisor: never
// through a link the judgement did not see.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "base/kernel_abi.h"
#include "path/normalize.h"
#include "proc/caller_state.h"
#include "supervisor/judged_open.h"

inline constexpr uint64_t k_no_links = k_resolve_no_symlinks | k_resolve_no_magiclinks;

// openat2, close-on-exec, retried when a signal interrupts it.
[[nodiscard]] int open_with(int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve);

// The resolution flags for a judged path.
[[nodiscard]] uint64_t resolve_for(const char* path);

// The judged path as the caller sees it: "/dev/fd" is its own.
[[nodiscard]] const char* caller_view(const char* path, pid_t caller, char (&out)[k_path_size]);

// The supervisor's own /proc link of its descriptor fd, which reopens the
// object fd holds.
void name_own_descriptor(int fd, char (&link)[32]);

// A descriptor judged through its /proc link, held without opening; -1
// with errno set, EACCES when the link no longer reads as judged.
[[nodiscard]] int pin_descriptor(const JudgedTarget& target);

// The directory a relative path was judged from, held without opening, or
// -1 (an absolute path, or the caller's directory is no longer it).
[[nodiscard]] int pin_base(const JudgedTarget& target, pid_t caller);

// Gives the calling thread a umask (and directory) of its own, so that
// make_with_callers_umask on it needs no lock; false when the kernel
// refuses, and it then shares the process's.
bool take_own_umask();

// Serializes the umask of the threads that share the process's; a thread
// with its own takes nothing.
void lock_shared_umask();
void unlock_shared_umask();

// Runs make (which creates something) under the caller's umask, so that a
// default ACL on the parent applies as it would for the caller; -1 with
// errno set when the umask cannot be read.
template <typename Make>
long make_with_callers_umask(pid_t caller, Make make) {
    mode_t mask = 0;
    if (!read_umask(caller, &mask)) return -1;
    lock_shared_umask();
    const mode_t previous = umask(mask);
    const long result = make();
    const int error = errno;
    umask(previous);
    unlock_shared_umask();
    errno = error;
    return result;
}
