#include "launcher/filter.h"

#include <errno.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>

#include "base/call_table.h"
#include "base/kernel_abi.h"

namespace {

constexpr uint32_t k_offset_nr = offsetof(seccomp_data, nr);
constexpr uint32_t k_offset_arch = offsetof(seccomp_data, arch);

// The low 32 bits of an argument: both builds are little-endian.
constexpr uint32_t offset_of_arg(uint8_t i) {
    return static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * i);
}

// The numbers the table names for arch, sorted, without repeats.
size_t collect_named(Arch arch, uint32_t* out, size_t cap) {
    size_t n = 0;
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr == k_absent) continue;
        if (n == cap) return 0;
        out[n++] = static_cast<uint32_t>(nr);
    }
    for (size_t i = 1; i < n; ++i) {
        for (size_t j = i; j > 0 && out[j - 1] > out[j]; --j) {
            uint32_t swap = out[j];
            out[j] = out[j - 1];
            out[j - 1] = swap;
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (kept == 0 || out[kept - 1] != out[i]) out[kept++] = out[i];
    }
    return kept;
}

constexpr size_t k_screen_leaf = 4;

// A search over values[lo, hi): halves split on "at least", leaves of a
// few comparisons for equality. A named number goes on to named, any other
// to other.
void emit_screen(BpfAssembler* a, const uint32_t* values, size_t lo, size_t hi, BpfLabel named, BpfLabel other) {
    if (hi - lo <= k_screen_leaf) {
        for (size_t i = lo; i < hi; ++i) bpf_jump(a, BPF_JEQ, values[i], named, i + 1 == hi ? other : k_next);
        return;
    }
    size_t mid = lo + (hi - lo) / 2;
    BpfLabel upper = bpf_new_label(a);
    bpf_jump(a, BPF_JGE, values[mid], upper, k_next);
    emit_screen(a, values, lo, mid, named, other);
    bpf_place(a, upper);
    emit_screen(a, values, mid, hi, named, other);
}

struct Answers {
    BpfLabel allow;
    BpfLabel notify;
    BpfLabel enosys;
    BpfLabel eperm;
};

// One row's comparison; a number it does not match goes on to the next row.
void emit_row(BpfAssembler* a, const CallRow& row, uint32_t nr, const Answers& to) {
    switch (row.filter) {
    case FilterRule::notify: bpf_jump(a, BPF_JEQ, nr, to.notify, k_next); return;
    case FilterRule::fail_enosys: bpf_jump(a, BPF_JEQ, nr, to.enosys, k_next); return;
    case FilterRule::fail_eperm: bpf_jump(a, BPF_JEQ, nr, to.eperm, k_next); return;
    case FilterRule::fail_eperm_if_arg: break;
    }
    // The call runs unless its argument test holds.
    const ArgTest& test = row.arg_test;
    BpfLabel next_row = bpf_new_label(a);
    bpf_jump(a, BPF_JEQ, nr, k_next, next_row);
    bpf_load(a, offset_of_arg(test.arg));
    if (test.any_bit) {
        bpf_jump(a, BPF_JSET, test.values[0], to.eperm, to.allow);
    } else {
        for (uint8_t i = 0; i < test.value_count; ++i) {
            bpf_jump(a, BPF_JEQ, test.values[i], to.eperm, i + 1 == test.value_count ? to.allow : k_next);
        }
    }
    bpf_place(a, next_row);
}

}  // namespace

size_t build_filter(Arch arch, bool guard_abi, sock_filter* out, size_t cap) {
    const ArchTraits& traits = traits_of(arch);
    BpfAssembler a;
    bpf_start(&a, out, cap);
    const BpfLabel kill = bpf_new_label(&a);
    const BpfLabel screened_out = bpf_new_label(&a);
    const BpfLabel rows = bpf_new_label(&a);
    const Answers to = {bpf_new_label(&a), bpf_new_label(&a), bpf_new_label(&a), bpf_new_label(&a)};

    if (guard_abi) {
        bpf_load(&a, k_offset_arch);
        bpf_jump(&a, BPF_JEQ, traits.audit_arch, k_next, kill);
    }
    bpf_load(&a, k_offset_nr);
    if (guard_abi && traits.has_x32) bpf_jump(&a, BPF_JGE, k_x32_syscall_bit, kill, k_next);

    // The kernel runs the program once per call number when it installs it,
    // to learn which calls it may let through without running it again.
    // Down the rows alone that takes some 45,000 steps on x86-64, about a
    // third of a millisecond of every launch here; the search takes a few
    // steps per number and lets every number the rows do not name through
    // at once.
    uint32_t named[k_filter_capacity];
    size_t named_count = collect_named(arch, named, k_filter_capacity);
    if (named_count == 0) return 0;
    emit_screen(&a, named, 0, named_count, rows, screened_out);
    bpf_place(&a, screened_out);
    bpf_return(&a, SECCOMP_RET_ALLOW);

    bpf_place(&a, rows);
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr != k_absent) emit_row(&a, k_calls[i], static_cast<uint32_t>(nr), to);
    }
    bpf_place(&a, to.allow);
    bpf_return(&a, SECCOMP_RET_ALLOW);
    bpf_place(&a, to.notify);
    bpf_return(&a, SECCOMP_RET_USER_NOTIF);
    bpf_place(&a, to.enosys);
    bpf_return(&a, SECCOMP_RET_ERRNO | ENOSYS);
    bpf_place(&a, to.eperm);
    bpf_return(&a, SECCOMP_RET_ERRNO | EPERM);
    bpf_place(&a, kill);
    bpf_return(&a, SECCOMP_RET_KILL_PROCESS);
    return bpf_finish(&a);
}
