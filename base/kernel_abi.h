// Kernel interface constants the program relies on, each defined once, with
// fallbacks for system headers older than the kernels it runs on.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdint.h>

#ifndef SECCOMP_FILTER_FLAG_NEW_LISTENER
#define SECCOMP_FILTER_FLAG_NEW_LISTENER (1UL << 3)
#endif
#ifndef SECCOMP_RET_USER_NOTIF
#define SECCOMP_RET_USER_NOTIF 0x7fc00000U
#endif
#ifndef SECCOMP_USER_NOTIF_FLAG_CONTINUE
#define SECCOMP_USER_NOTIF_FLAG_CONTINUE (1UL << 0)
#endif

// Linux 5.19: once the supervisor has received a notification, only a fatal
// signal ends the caller's wait, so a handled signal no longer makes a
// trapped call fail with EINTR where the kernel's own would not. Older
// kernels refuse the flag.
inline constexpr unsigned long k_filter_flag_wait_killable_recv = 1UL << 5;

// The id-valid request was first published with the wrong direction bits;
// the kernel accepts both, and this is the value it documents today.
inline constexpr unsigned long k_ioctl_notif_recv = 0xc0502100UL;
inline constexpr unsigned long k_ioctl_notif_send = 0xc0182101UL;
inline constexpr unsigned long k_ioctl_notif_id_valid = 0x40082102UL;
// Linux 6.6: the listener wakes the supervisor on the same CPU, synchronously,
// which takes much of the cost out of each round trip. Older kernels refuse
// the request and work as before.
inline constexpr unsigned long k_ioctl_notif_set_flags = 0x40082104UL;
inline constexpr unsigned long k_notif_fd_sync_wake_up = 1;

// Linux 5.9: the supervisor installs a descriptor of its own in the caller;
// Linux 5.14: with the send flag the same request answers the call with the
// new descriptor's number. Older kernels refuse the flag with EINVAL.
struct NotifAddfd {
    uint64_t id;
    uint32_t flags;
    uint32_t srcfd;
    uint32_t newfd;
    uint32_t newfd_flags;  // O_CLOEXEC or nothing
};
inline constexpr unsigned long k_ioctl_notif_addfd = 0x40182103UL;
inline constexpr uint32_t k_addfd_flag_send = 1U << 1;

// Same number on every architecture the program is built for.
inline constexpr long k_nr_pidfd_send_signal = 424;
inline constexpr long k_nr_pidfd_open = 434;
// Linux 5.9; older kernels answer ENOSYS.
inline constexpr long k_nr_close_range = 436;
inline constexpr long k_nr_openat2 = 437;
inline constexpr long k_nr_pidfd_getfd = 438;
// Linux 6.9: a pidfd of one thread, and a signal sent to that thread.
inline constexpr unsigned k_pidfd_thread = 0x80;  // O_EXCL on every build
inline constexpr unsigned k_pidfd_signal_thread = 1;
inline constexpr long k_nr_fchmodat2 = 452;
inline constexpr long k_nr_setxattrat = 463;
inline constexpr long k_nr_removexattrat = 466;
// setxattrat's value: struct xattr_args, whose first version is 16 bytes.
struct XattrArgs {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};
inline constexpr uint32_t k_xattr_args_size = 16;

// Linux 5.6: openat2 and its resolution flags. Older kernels answer ENOSYS.
struct OpenHow {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};
inline constexpr uint64_t k_resolve_no_xdev = 0x01;
inline constexpr uint64_t k_resolve_no_magiclinks = 0x02;
inline constexpr uint64_t k_resolve_no_symlinks = 0x04;
inline constexpr uint64_t k_resolve_beneath = 0x08;
// An absolute path starts at the descriptor, not at "/".
inline constexpr uint64_t k_resolve_in_root = 0x10;
// Linux 5.12: only what the caches hold, else EAGAIN.
inline constexpr uint64_t k_resolve_cached = 0x20;

// Linux 5.17 put the I/O priority's "which" values in the published headers.
inline constexpr uint32_t k_ioprio_who_process = 1;
inline constexpr uint32_t k_ioprio_who_pgrp = 2;
inline constexpr uint32_t k_ioprio_who_user = 3;

// Linux 5.4: fs-verity makes a file read-only for good, through a
// descriptor open for reading.
inline constexpr uint32_t k_fs_ioc_enable_verity = 0x40806685;

static_assert(sizeof(struct seccomp_notif) == 0x50, "seccomp_notif layout");
static_assert(sizeof(struct seccomp_notif_resp) == 0x18, "seccomp_notif_resp layout");
static_assert(sizeof(NotifAddfd) == 0x18, "seccomp_notif_addfd layout");

// Landlock (5.13; ABI 2 in 5.19 adds REFER, 3 in 6.2 TRUNCATE, 5 in 6.10
// IOCTL_DEV, 6 in 6.12 the scopes). Same numbers on every build.
inline constexpr long k_nr_landlock_create_ruleset = 444;
inline constexpr long k_nr_landlock_add_rule = 445;
inline constexpr long k_nr_landlock_restrict_self = 446;
inline constexpr uint32_t k_landlock_create_ruleset_version = 1U << 0;
inline constexpr uint32_t k_landlock_rule_path_beneath = 1;
inline constexpr uint64_t k_landlock_execute = 1ULL << 0;
inline constexpr uint64_t k_landlock_write_file = 1ULL << 1;
inline constexpr uint64_t k_landlock_read_file = 1ULL << 2;
inline constexpr uint64_t k_landlock_read_dir = 1ULL << 3;
inline constexpr uint64_t k_landlock_remove_dir = 1ULL << 4;
inline constexpr uint64_t k_landlock_remove_file = 1ULL << 5;
inline constexpr uint64_t k_landlock_make_char = 1ULL << 6;
inline constexpr uint64_t k_landlock_make_dir = 1ULL << 7;
inline constexpr uint64_t k_landlock_make_reg = 1ULL << 8;
inline constexpr uint64_t k_landlock_make_sock = 1ULL << 9;
inline constexpr uint64_t k_landlock_make_fifo = 1ULL << 10;
inline constexpr uint64_t k_landlock_make_block = 1ULL << 11;
inline constexpr uint64_t k_landlock_make_sym = 1ULL << 12;
inline constexpr uint64_t k_landlock_refer = 1ULL << 13;
inline constexpr uint64_t k_landlock_truncate = 1ULL << 14;
inline constexpr uint64_t k_landlock_ioctl_dev = 1ULL << 15;
inline constexpr uint64_t k_landlock_scope_abstract_unix_socket = 1ULL << 0;
inline constexpr uint64_t k_landlock_scope_signal = 1ULL << 1;

// The mount API (5.2), for a handle on the message-queue file system's root.
inline constexpr long k_nr_fsconfig = 431;
inline constexpr long k_nr_fsmount = 432;
inline constexpr long k_nr_fsopen = 430;
inline constexpr unsigned k_fsconfig_cmd_create = 6;

struct LandlockRulesetAttr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
    uint64_t scoped;
};

struct __attribute__((packed)) LandlockPathBeneathAttr {
    uint64_t allowed_access;
    int32_t parent_fd;
};
