// Installing the filter. Kept apart from the rest of the library so that a
// test build can link a copy without the ABI guard; the shipped program
// always has it.
#include <errno.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "launcher/filter.h"

#ifndef SANDBOX_ABI_GUARD
#define SANDBOX_ABI_GUARD 1
#endif

int install_filter(Refusals refusals) {
    sock_filter program[k_filter_capacity];
    memset(program, 0, sizeof(program));
    size_t length = build_filter(k_native_arch, SANDBOX_ABI_GUARD, refusals, program, k_filter_capacity);
    if (length == 0) return -1;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    sock_fprog prog;
    prog.len = static_cast<unsigned short>(length);
    prog.filter = program;
    long listener = syscall(k_native.nr_seccomp, SECCOMP_SET_MODE_FILTER,
                            SECCOMP_FILTER_FLAG_NEW_LISTENER | k_filter_flag_wait_killable_recv, &prog);
    if (listener < 0 && errno == EINVAL) {
        listener = syscall(k_native.nr_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    }
    if (static_cast<int>(listener) < 0) return -1;
    return static_cast<int>(listener);
}
