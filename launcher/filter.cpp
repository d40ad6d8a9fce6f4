#include "launcher/filter.h"

#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "launcher/arch.h"
#include "launcher/kernel_abi.h"

namespace {

sock_filter make_insn(unsigned short code, unsigned char jt, unsigned char jf, unsigned int k) {
    sock_filter insn;
    insn.code = code;
    insn.jt = jt;
    insn.jf = jf;
    insn.k = k;
    return insn;
}

}  // namespace

size_t build_filter(const int* table, size_t n, sock_filter* out, size_t cap) {
    // A comparison jumps at most n instructions forward; the offset is 8 bits.
    if (n + 3 > cap || n > 255) return 0;
    size_t at = 0;
    out[at++] = make_insn(BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr));
    for (size_t j = 1; j <= n; ++j) {
        out[at++] = make_insn(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned char>(n + 1 - j), 0,
                              static_cast<unsigned int>(table[j - 1]));
    }
    out[at++] = make_insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW);
    out[at++] = make_insn(BPF_RET | BPF_K, 0, 0, SECCOMP_RET_USER_NOTIF);
    return at;
}

int install_filter() {
    sock_filter program[k_filter_capacity];
    memset(program, 0, sizeof(program));
    size_t length = build_filter(syscalls.data(), syscalls.size(), program, k_filter_capacity);
    if (length == 0) return -1;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    sock_fprog prog;
    prog.len = static_cast<unsigned short>(length);
    prog.filter = program;
    long listener = syscall(k_nr_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    if (static_cast<int>(listener) < 0) return -1;
    return static_cast<int>(listener);
}
