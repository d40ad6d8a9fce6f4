// Walking to what a call was judged to reach, from the supervisor: never
// through a link the judgement did not see.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/kernel_abi.h"
#include "path/normalize.h"
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
