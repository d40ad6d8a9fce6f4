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
    BpfLabel pretend;
};

BpfLabel label_of(Outcome outcome, const Answers& to) {
    switch (outcome) {
    case Outcome::allow: return to.allow;
    case Outcome::notify: return to.notify;
    case Outcome::fail_enosys: return to.enosys;
    case Outcome::fail_eperm: return to.eperm;
    case Outcome::pretend: return to.pretend;
    }
    return to.eperm;
}

constexpr uint32_t k_whole_word = 0xffffffff;
constexpr uint32_t k_nothing_loaded = 0xffffffff;  // no offset of the seccomp data

// One clause's conditions: each that holds goes on to the next, the last
// to outcome; the first that fails leads to fail. loaded is the offset of
// the word the accumulator holds on entry, and on leaving by fail.
void emit_clause(BpfAssembler* a, const ArgClause& clause, BpfLabel outcome, BpfLabel fail, uint32_t* loaded) {
    bool same_word_throughout = true;
    for (uint8_t i = 0; i < clause.cond_count; ++i) {
        const ArgCond& cond = clause.conds[i];
        const BpfLabel pass = i + 1 == clause.cond_count ? outcome : k_next;
        const uint32_t offset = offset_of_arg(cond.arg);
        if (*loaded != offset) {
            if (i > 0) same_word_throughout = false;
            bpf_load(a, offset);
            *loaded = offset;
        }
        switch (cond.op) {
        case CondOp::equal:
        case CondOp::not_equal:
            if (cond.mask != k_whole_word) {
                bpf_and(a, cond.mask);
                *loaded = k_nothing_loaded;
                same_word_throughout = false;
            }
            if (cond.op == CondOp::equal) {
                bpf_jump(a, BPF_JEQ, cond.value, pass, fail);
            } else {
                bpf_jump(a, BPF_JEQ, cond.value, fail, pass);
            }
            break;
        case CondOp::any_bit: bpf_jump(a, BPF_JSET, cond.mask, pass, fail); break;
        case CondOp::no_bit: bpf_jump(a, BPF_JSET, cond.mask, fail, pass); break;
        }
    }
    if (!same_word_throughout) *loaded = k_nothing_loaded;
}

// One row's comparison; a number it does not match goes on to the next row
// with the number still loaded.
void emit_row(BpfAssembler* a, const CallRow& row, uint32_t nr, const Answers& to) {
    switch (row.filter) {
    case FilterRule::notify: bpf_jump(a, BPF_JEQ, nr, to.notify, k_next); return;
    case FilterRule::fail_enosys: bpf_jump(a, BPF_JEQ, nr, to.enosys, k_next); return;
    case FilterRule::fail_eperm: bpf_jump(a, BPF_JEQ, nr, to.eperm, k_next); return;
    case FilterRule::by_args: break;
    }
    const ArgRules& rules = *row.args;
    const BpfLabel next_row = bpf_new_label(a);
    bpf_jump(a, BPF_JEQ, nr, k_next, next_row);
    uint32_t loaded = k_offset_nr;
    for (uint8_t i = 0; i < rules.clause_count; ++i) {
        const bool last = i + 1 == rules.clause_count;
        const BpfLabel next_clause = last ? label_of(rules.otherwise, to) : bpf_new_label(a);
        emit_clause(a, rules.clauses[i], label_of(rules.clauses[i].outcome, to), next_clause, &loaded);
        if (!last) bpf_place(a, next_clause);
    }
    bpf_place(a, next_row);
}

}  // namespace

size_t build_filter(Arch arch, bool guard_abi, Refusals refusals, sock_filter* out, size_t cap) {
    const ArchTraits& traits = traits_of(arch);
    BpfAssembler a;
    bpf_start(&a, out, cap);
    const BpfLabel screened_out = bpf_new_label(&a);
    const BpfLabel rows = bpf_new_label(&a);
    Answers to;
    to.allow = bpf_new_label(&a);
    to.notify = bpf_new_label(&a);
    const bool in_filter = refusals == Refusals::in_filter;
    to.enosys = in_filter ? bpf_new_label(&a) : to.notify;
    to.eperm = in_filter ? bpf_new_label(&a) : to.notify;
    // No refusal: left to the filter whether refusals are logged or not.
    to.pretend = bpf_new_label(&a);

    // Each refusal of another ABI is answered right after its test: the
    // end of the program lies farther than a jump reaches.
    if (guard_abi) {
        const BpfLabel native = bpf_new_label(&a);
        bpf_load(&a, k_offset_arch);
        bpf_jump(&a, BPF_JEQ, traits.audit_arch, native, k_next);
        bpf_return(&a, SECCOMP_RET_KILL_PROCESS);
        bpf_place(&a, native);
    }
    bpf_load(&a, k_offset_nr);
    if (guard_abi && traits.has_x32) {
        const BpfLabel not_x32 = bpf_new_label(&a);
        bpf_jump(&a, BPF_JGE, k_x32_syscall_bit, k_next, not_x32);
        bpf_return(&a, SECCOMP_RET_KILL_PROCESS);
        bpf_place(&a, not_x32);
    }

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
    if (in_filter) {
        bpf_place(&a, to.enosys);
        bpf_return(&a, SECCOMP_RET_ERRNO | ENOSYS);
        bpf_place(&a, to.eperm);
        bpf_return(&a, SECCOMP_RET_ERRNO | EPERM);
    }
    bpf_place(&a, to.pretend);
    bpf_return(&a, SECCOMP_RET_ERRNO | 0);
    return bpf_finish(&a);
}
