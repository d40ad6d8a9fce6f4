// Paths that name an open descriptor of a process.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// For "/proc/N/fd/M", "/proc/N/task/T/fd/M" (M digits, nothing after) and
// "/dev/fd/M" (the calling thread's own), writes the /proc names of the
// descriptor's link and of its fdinfo. False for any other path.
[[nodiscard]] bool name_descriptor_path(const char* path, pid_t tracee_pid, char* link, char* fdinfo, size_t size);

// Whether a descriptor's link target is a file-system path; pipes, sockets,
// anonymous inodes and memory files are not.
[[nodiscard]] bool is_path_target(const char* target);

// Whether a descriptor's link target is a file that has been removed: the
// kernel appends " (deleted)" to its last name.
[[nodiscard]] bool is_deleted_target(const char* target);
