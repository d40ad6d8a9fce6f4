// The descriptors the command inherits. The caller's descriptors above 2
// are closed in the sandboxed child before the command runs, but those the
// command line names and the job server's pipe that make and cargo announce
// in their flags: a file of secrets or an agent's socket left open by the
// caller would otherwise hand the command what the policy refuses it.
#pragma once

#include <stddef.h>

// The command line may name at most this many descriptors.
inline constexpr size_t k_max_keep_options = 64;
// Descriptor numbers kept must be below this: the kernel's default
// fs.nr_open, the most descriptors a process may have unless raised.
inline constexpr int k_descriptor_limit = 1 << 20;

// Kept descriptors, ascending, without repeats. Room for the command line's,
// the two job servers' pipes (MAKEFLAGS, CARGO_MAKEFLAGS) and the sandboxed
// child's own channel end.
struct KeptDescriptors {
    int fds[k_max_keep_options + 5];
    size_t count;
};

// Adds fd in its place; true when it is there, false when the set is full
// or fd is negative.
[[nodiscard]] bool keep_descriptor(KeptDescriptors* kept, int fd);

// Whether fd is in the set.
[[nodiscard]] bool is_descriptor_kept(const KeptDescriptors* kept, int fd);

// A descriptor number written in decimal digits only, below
// k_descriptor_limit; false for anything else.
[[nodiscard]] bool parse_descriptor(const char* text, size_t length, int* fd);

// Finds the job server's pipe in flags, a MAKEFLAGS or CARGO_MAKEFLAGS value
// (null when unset): the last --jobserver-auth=R,W or --jobserver-fds=R,W
// among the words before a lone "--" (what follows it are variable
// assignments). True, with both descriptors, when that option names them; a
// fifo:PATH job server, a malformed value or no option at all gives false.
[[nodiscard]] bool find_jobserver_fds(const char* flags, int* read_fd, int* write_fd);

// Closes every descriptor above 2 that is not kept: with close_range(2) over
// the gaps between kept ones, else (a kernel before 5.9) each descriptor
// /proc/self/fd lists, else each one below the soft RLIMIT_NOFILE. Allocates
// nothing, so that it can run between fork and exec.
void close_unkept_descriptors(const KeptDescriptors* kept);

// The two ways, apart, for tests. The first returns false, having perhaps
// closed some, when close_range fails.
[[nodiscard]] bool close_unkept_ranges(const KeptDescriptors* kept);
void close_unkept_listed(const KeptDescriptors* kept);
