#include "launcher/filter.h"

#include <stddef.h>
#include <string.h>

#include "launcher/arch.h"
#include "launcher/kernel_abi.h"

namespace {

constexpr unsigned k_offset_nr = offsetof(seccomp_data, nr);
constexpr unsigned k_offset_arch = offsetof(seccomp_data, arch);
// The low 32 bits of an argument: both builds are little-endian.
constexpr unsigned offset_of_arg(int i) {
    return static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * i);
}

sock_filter make_insn(unsigned short code, unsigned char jt, unsigned char jf, unsigned int k) {
    sock_filter insn;
    insn.code = code;
    insn.jt = jt;
    insn.jf = jf;
    insn.k = k;
    return insn;
}

// Instructions are placed first and their forward jumps patched once every
// target's index is known.
struct Program {
    sock_filter* out;
    size_t cap;
    size_t at;
    int failed;
};

size_t emit(Program* p, unsigned short code, unsigned k) {
    if (p->at >= p->cap) {
        p->failed = 1;
        return p->at;
    }
    p->out[p->at] = make_insn(code, 0, 0, k);
    return p->at++;
}

unsigned char offset_to(Program* p, size_t from, size_t to) {
    size_t distance = to - from - 1;
    if (to <= from || distance > 255) {
        p->failed = 1;
        return 0;
    }
    return static_cast<unsigned char>(distance);
}

void set_true(Program* p, size_t insn, size_t target) {
    if (!p->failed) p->out[insn].jt = offset_to(p, insn, target);
}

void set_false(Program* p, size_t insn, size_t target) {
    if (!p->failed) p->out[insn].jf = offset_to(p, insn, target);
}

// The numbers the program looks at more closely, sorted, without repeats.
size_t collect_screened(const FilterLayout& layout, unsigned* out, size_t cap) {
    size_t n = 0;
    auto add = [&](int nr) {
        if (n < cap) out[n] = static_cast<unsigned>(nr);
        ++n;
    };
    for (size_t i = 0; i < layout.refused_count; ++i) {
        add(layout.aarch64_column ? layout.refused[i].aarch64 : layout.refused[i].x86_64);
    }
    add(layout.clone_nr);
    add(layout.ioctl_nr);
    for (size_t i = 0; i < layout.extra_count; ++i) add(layout.extra[i]);
    for (size_t i = 0; i < layout.chain_count; ++i) add(layout.chain[i]);
    if (n > cap) return 0;
    for (size_t i = 1; i < n; ++i) {
        for (size_t j = i; j > 0 && out[j - 1] > out[j]; --j) {
            unsigned swap = out[j];
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

// Where the screen's comparisons lead, patched once the targets are placed.
struct ScreenExits {
    size_t member[k_filter_capacity];
    size_t other[k_filter_capacity];
    size_t members;
    size_t others;
};

constexpr size_t k_screen_leaf = 4;

// A search over values[lo, hi): halves split on "at least", leaves of a few
// comparisons for equality.
void emit_screen(Program* p, const unsigned* values, size_t lo, size_t hi, ScreenExits* exits) {
    if (hi - lo <= k_screen_leaf) {
        for (size_t i = lo; i < hi; ++i) {
            size_t insn = emit(p, BPF_JMP | BPF_JEQ | BPF_K, values[i]);
            exits->member[exits->members++] = insn;
            if (i + 1 == hi) exits->other[exits->others++] = insn;
        }
        return;
    }
    size_t mid = lo + (hi - lo) / 2;
    size_t split = emit(p, BPF_JMP | BPF_JGE | BPF_K, values[mid]);
    emit_screen(p, values, lo, mid, exits);
    set_true(p, split, p->at);
    emit_screen(p, values, mid, hi, exits);
}

}  // namespace

size_t build_filter(const FilterLayout& layout, sock_filter* out, size_t cap) {
    Program p = {out, cap, 0, 0};
    constexpr size_t k_max_jumps = 64;
    size_t to_kill[k_max_jumps];
    size_t to_enosys[k_max_jumps];
    size_t to_eperm[k_max_jumps];
    size_t to_notify[k_max_jumps];
    size_t n_kill = 0, n_enosys = 0, n_eperm = 0, n_notify = 0;
    if (layout.refused_count + layout.extra_count + 8 > k_max_jumps) return 0;

    if (layout.guard_abi) {
        emit(&p, BPF_LD | BPF_W | BPF_ABS, k_offset_arch);
        size_t same = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, layout.audit_arch);
        to_kill[n_kill++] = same;  // false branch, patched below
    }
    emit(&p, BPF_LD | BPF_W | BPF_ABS, k_offset_nr);
    if (layout.guard_abi && layout.reject_x32) {
        to_kill[n_kill++] = emit(&p, BPF_JMP | BPF_JGE | BPF_K, k_x32_syscall_bit);
    }

    // The kernel runs the program once per call number when it installs it,
    // to learn which calls it may let through without running it again. Down
    // the straight line below alone that takes some 45,000 steps on x86-64,
    // about a third of a millisecond of every launch here; the search takes a
    // few steps per number and lets every number the line does not name
    // through at once. The numbers it names go on down the line as before.
    unsigned screened[k_filter_capacity];
    size_t screened_count = collect_screened(layout, screened, k_filter_capacity);
    if (screened_count == 0) return 0;
    ScreenExits exits;
    exits.members = 0;
    exits.others = 0;
    emit_screen(&p, screened, 0, screened_count, &exits);
    size_t screen_allow = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    for (size_t i = 0; i < exits.members; ++i) set_true(&p, exits.member[i], screen_allow + 1);
    for (size_t i = 0; i < exits.others; ++i) set_false(&p, exits.other[i], screen_allow);
    for (size_t i = 0; i < layout.refused_count; ++i) {
        const RefusedCall& call = layout.refused[i];
        size_t insn = emit(&p, BPF_JMP | BPF_JEQ | BPF_K,
                           static_cast<unsigned>(layout.aarch64_column ? call.aarch64 : call.x86_64));
        if (call.error == k_enosys) {
            to_enosys[n_enosys++] = insn;
        } else {
            to_eperm[n_eperm++] = insn;
        }
    }

    size_t clone_check = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(layout.clone_nr));
    emit(&p, BPF_LD | BPF_W | BPF_ABS, offset_of_arg(0));
    size_t clone_flags = emit(&p, BPF_JMP | BPF_JSET | BPF_K, k_clone_new_namespaces);
    to_eperm[n_eperm++] = clone_flags;
    size_t ioctl_check = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(layout.ioctl_nr));
    set_false(&p, clone_check, ioctl_check);
    emit(&p, BPF_LD | BPF_W | BPF_ABS, offset_of_arg(1));
    to_eperm[n_eperm++] = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, k_tiocsti);
    size_t last_request = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, k_tioclinux);
    to_eperm[n_eperm++] = last_request;

    size_t after_ioctl = p.at;
    for (size_t i = 0; i < layout.extra_count; ++i) {
        to_notify[n_notify++] = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(layout.extra[i]));
    }
    set_false(&p, ioctl_check, after_ioctl);

    // The chain of trapped calls, exactly as it stands on its own.
    const size_t n = layout.chain_count;
    if (n > 255) return 0;
    for (size_t j = 1; j <= n; ++j) {
        size_t insn = emit(&p, BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(layout.chain[j - 1]));
        if (!p.failed) p.out[insn].jt = static_cast<unsigned char>(n + 1 - j);
    }
    size_t allow = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    size_t notify = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF);

    size_t enosys = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_ERRNO | k_enosys);
    size_t eperm = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_ERRNO | k_eperm);
    size_t kill = emit(&p, BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
    if (p.failed) return 0;

    // Clone without namespace flags, and ioctl with any other request, run.
    set_false(&p, clone_flags, allow);
    set_false(&p, last_request, allow);
    for (size_t i = 0; i < n_enosys; ++i) set_true(&p, to_enosys[i], enosys);
    for (size_t i = 0; i < n_eperm; ++i) set_true(&p, to_eperm[i], eperm);
    for (size_t i = 0; i < n_notify; ++i) set_true(&p, to_notify[i], notify);
    if (layout.guard_abi) {
        set_false(&p, to_kill[0], kill);  // a foreign architecture
        if (layout.reject_x32) set_true(&p, to_kill[1], kill);
    }
    return p.failed ? 0 : p.at;
}

FilterLayout native_filter_layout(int guard_abi) {
    FilterLayout layout;
    layout.audit_arch = k_native_audit_arch;
    layout.guard_abi = guard_abi;
    layout.reject_x32 = !k_is_aarch64;
    layout.refused = k_refused_calls;
    layout.refused_count = k_refused_count;
    layout.aarch64_column = k_is_aarch64;
    layout.clone_nr = k_native_nr_clone;
    layout.ioctl_nr = k_native_nr_ioctl;
    layout.extra = extra_syscalls.data();
    layout.extra_count = extra_syscalls.size();
    layout.chain = syscalls.data();
    layout.chain_count = syscalls.size();
    return layout;
}
