// Resolving a path through symbolic links the way the kernel will, as the
// tracee sees it.
#pragma once

#include <sys/types.h>

#include "path/normalize.h"

// Most links followed in one resolution; the kernel's own limit, so that a
// chain the kernel follows is judged at its end and a longer one fails.
inline constexpr int k_max_links = 40;
// Components walked plus links followed in one resolution. No real path comes
// near it; a maze of links built to multiply the work runs into it.
inline constexpr int k_resolution_budget = 4096;

// Resolves path (absolute; it may still hold ".", ".." and empty components)
// into out (4096 bytes) component by component: links are resolved before a
// following "..", inside link targets too; "/proc/self" and
// "/proc/thread-self", however reached, name tracee_pid's entries; the last
// component is resolved only when last says so. Missing components are kept
// as written.
//
// Left as they are: "/dev/null"; "/dev/fd" and a single entry below it when
// the path names them itself (through a link they are the tracee's
// "/proc/N/fd"), and "/dev/stdin", "/dev/stdout" and "/dev/stderr" not
// followed, which become "/dev/fd/0" to "/dev/fd/2"; entries below a numeric "/proc" directory (or its task
// directories) other than "root", "cwd" and what lies below a descriptor of
// "fd".
//
// False when the result cannot be established within the limits, with
// errno set as the kernel would: ELOOP for too many links or the work
// budget, ENAMETOOLONG for a result longer than 4095 bytes. The caller then
// denies.
[[nodiscard]] bool canonicalize_path(const char* path, LastLink last, char* out, pid_t tracee_pid);
