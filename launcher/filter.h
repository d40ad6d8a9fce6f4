// The seccomp filter. In front of the chain of trapped calls it refuses
// foreign system-call ABIs, the calls that would take the process tree out
// of the supervisor's view, and two terminal requests; it also traps the
// calls that carry paths, destinations or signals by other routes. A short
// search on the call number comes first and lets every number that nothing
// below names through at once.
#pragma once

#include <linux/filter.h>
#include <stddef.h>

struct RefusedCall;

struct FilterLayout {
    unsigned audit_arch;        // the build's own ABI; any other is killed
    int guard_abi;              // 0 only in a test build that shows why it matters
    int reject_x32;             // x86-64: numbers with the x32 bit are killed
    const RefusedCall* refused;
    size_t refused_count;
    int aarch64_column;         // which number of each refused call applies
    int clone_nr;               // clone: namespace flags are refused
    int ioctl_nr;               // ioctl: terminal input injection is refused
    const int* extra;           // trapped ahead of the chain
    size_t extra_count;
    const int* chain;           // the comparison chain of trapped calls
    size_t chain_count;
};

// Room for the longest program of either build.
inline constexpr size_t k_filter_capacity = 320;

// Flags of clone that create namespaces.
inline constexpr unsigned k_clone_new_namespaces = 0x7e020000;
inline constexpr unsigned k_tiocsti = 0x5412;
inline constexpr unsigned k_tioclinux = 0x541c;

// Writes the program for layout into out (capacity cap). Returns the
// instruction count, or 0 when it does not fit or a jump would overflow.
size_t build_filter(const FilterLayout& layout, struct sock_filter* out, size_t cap);

// The layout of this build, with or without the ABI guard.
FilterLayout native_filter_layout(int guard_abi);

// Sets no_new_privs and installs the build's filter with a listener.
// Returns the listener descriptor, or -1.
int install_filter();
