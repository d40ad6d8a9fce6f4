// The seccomp filter, built from the call table (base/call_table.h). It
// kills calls of any other system-call ABI than the build's own; then a
// short search on the call number lets every number the table does not name
// through at once; the numbers it names meet the table's rows in order,
// each refused outright, refused by an argument test or suspended for the
// supervisor.
#pragma once

#include <linux/filter.h>
#include <stddef.h>

#include "base/arch.h"
#include "launcher/bpf.h"

// Room for the longest program of either build.
inline constexpr size_t k_filter_capacity = k_bpf_max_insns;

// Who answers the calls the table refuses outright: the filter itself, or,
// when refusals are logged, the supervisor, which refuses them the same way
// and can say so. Every other answer is the same either way.
enum class Refusals : bool { in_filter, by_supervisor };

// Writes the filter of arch into out (capacity cap). Without guard_abi
// (only in a test build that shows why the guard matters) calls of other
// ABIs meet the table like native ones. Returns the instruction count, or 0
// when it does not fit.
[[nodiscard]] size_t build_filter(Arch arch, bool guard_abi, Refusals refusals, sock_filter* out, size_t cap);

// Sets no_new_privs and installs the build's filter with a listener.
// Returns the listener descriptor, or -1 with errno set (EBUSY: the process
// already runs under a filter with a listener, as inside another sandbox).
[[nodiscard]] int install_filter(Refusals refusals);
