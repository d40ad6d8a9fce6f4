// What differs between the x86-64 and the AArch64 build apart from the call
// numbers, which the call table holds (base/call_table.h). These two headers
// are the only ones that know the architectures apart; no other file tests
// which one it is built for.
//
// Both architectures are always described so that tests on either host can
// check the other build; `k_native_arch` names the build's own.
#pragma once

#include <stdint.h>

enum class Arch : uint8_t { x86_64, aarch64 };

struct ArchTraits {
    const char* name;
    uint32_t audit_arch;    // the system-call ABI of the build; any other is killed
    bool has_x32;           // x32 calls arrive with the audit arch and k_x32_syscall_bit
    bool has_legacy_calls;  // open, stat, rename and the other calls without "at"
    unsigned o_nofollow;    // O_NOFOLLOW differs between the two
    long nr_seccomp;        // the seccomp call, for installing the filter
};

inline constexpr ArchTraits k_arch_traits[] = {
    {"x86_64", 0xc000003e, true, true, 0x20000, 317},
    {"aarch64", 0xc00000b7, false, false, 0x8000, 277},
};

constexpr const ArchTraits& traits_of(Arch arch) {
    return k_arch_traits[static_cast<int>(arch)];
}

inline constexpr uint32_t k_x32_syscall_bit = 0x40000000;

#if defined(__x86_64__)
inline constexpr Arch k_native_arch = Arch::x86_64;
#elif defined(__aarch64__)
inline constexpr Arch k_native_arch = Arch::aarch64;
#else
#error "sandbox is built for x86-64 and AArch64 only"
#endif

inline constexpr const ArchTraits& k_native = traits_of(k_native_arch);
inline constexpr bool k_is_aarch64 = k_native_arch == Arch::aarch64;
inline constexpr bool k_has_legacy_calls = k_native.has_legacy_calls;
