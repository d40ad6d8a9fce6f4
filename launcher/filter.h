// The seccomp filter: a chain of comparisons against the trapped-call table.
#pragma once

#include <linux/filter.h>
#include <stddef.h>

// Room for the longest program of either build.
inline constexpr size_t k_filter_capacity = 64;

// Writes the program for a table of n call numbers into out (capacity cap):
// load the call number, one comparison per entry jumping to the notify
// return, then allow, then notify. Returns the instruction count, or 0 when
// it does not fit or a jump offset would overflow.
size_t build_filter(const int* table, size_t n, struct sock_filter* out, size_t cap);

// Sets no_new_privs and installs the build's filter with a listener.
// Returns the listener descriptor, or -1.
int install_filter();
