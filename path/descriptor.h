// Paths that name an open descriptor of a process, and what that
// descriptor is.
#pragma once

#include <stddef.h>

// For "/proc/N/fd/M", "/proc/N/task/T/fd/M" (M digits, nothing after) and
// "/dev/fd/M" (the calling thread's own), writes the /proc names of the
// descriptor's link and of its fdinfo. Returns 1 for such a path, else 0.
int name_descriptor_path(const char* path, int tracee_pid, char* link, char* fdinfo, size_t size);

// The target of a descriptor link. Returns its length, or -1.
int read_descriptor_target(const char* link, char* out, size_t size);

// 1 when the target is a file-system path; pipes, sockets, anonymous
// inodes and memory files are not.
int is_path_target(const char* target);

// The descriptor's open mode from its fdinfo: 1 when it may be read from
// (want_write 0) or written to (want_write 1), 0 otherwise or unreadable.
int is_descriptor_open_for(const char* fdinfo, int want_write);
