// String transformations on absolute paths; none touches the file system
// except the thread-group lookup of rewrite_proc_self.
#pragma once

#include <stddef.h>
#include <sys/types.h>

inline constexpr size_t k_path_size = 4096;            // every path buffer
inline constexpr size_t k_path_max = k_path_size - 1;  // longest path held
inline constexpr int k_max_components = 512;

// Whether a path's last component is resolved when it is a symbolic link.
enum class LastLink : bool { not_followed, followed };

// Replaces a leading "/proc/self" or "/proc/thread-self" by the tracee's
// numeric entry. False when the result would not fit.
[[nodiscard]] bool rewrite_proc_self(const char* path, pid_t tracee_pid, char* out);

// Removes empty, "." and ".." components by text alone; the result begins
// with "/". False when the path has more than 512 components to
// keep or the result would not fit: a path that cannot be held whole is
// never judged in part.
[[nodiscard]] bool normalize_lexical(const char* path, char* out);

// dir, "/", name into out, each part cut so that the result fits.
void join_path(char* out, const char* dir, const char* name);
