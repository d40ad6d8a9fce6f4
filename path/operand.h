// A path operand as a process wrote it, made absolute in that process's
// view: against its working directory or one of its directory
// descriptors, read through /proc. The supervisor and sandbox-policy's
// explain take this same step.
#pragma once

#include <sys/types.h>

// Whether path ends at a directory ("/", "/." or "/.." at its end, or "."
// or ".." alone): the kernel then follows a final link even when asked not
// to.
[[nodiscard]] bool ends_at_directory(const char* path);

// The /proc link of the directory a relative path of process pid starts
// from: "/proc/<pid>/cwd" for AT_FDCWD, else that of descriptor dirfd.
// False for a negative dirfd other than AT_FDCWD.
[[nodiscard]] bool name_base_directory(pid_t pid, int dirfd, char (&link)[64]);

// The directory a relative path of process pid starts from: its working
// directory for AT_FDCWD, else its descriptor dirfd; into out (k_path_size
// bytes). False when it cannot be read or is no path.
[[nodiscard]] bool read_base_directory(pid_t pid, int dirfd, char* out);

// base, "/" and relative into out (k_path_size bytes). False when the
// result would not fit: a path that cannot be held whole is never judged.
[[nodiscard]] bool join_absolute(const char* base, const char* relative, char* out);
