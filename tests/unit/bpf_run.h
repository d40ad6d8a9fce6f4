// A classic BPF interpreter for the instructions the filter uses, so tests can
// check what the program answers for a call as well as what it contains.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>

#include <cstdint>

// Returns the program's return value for data, or 0xdeadbeef when the program
// runs off its end, jumps out of range or uses an instruction it does not know.
// steps, when given, counts the instructions run.
inline uint32_t run_bpf(const sock_filter* program, size_t length, const seccomp_data& data, size_t* steps = nullptr) {
    uint32_t acc = 0;
    size_t pc = 0;
    while (pc < length) {
        const sock_filter& insn = program[pc];
        if (steps != nullptr) ++*steps;
        switch (insn.code) {
        case BPF_LD | BPF_W | BPF_ABS: {
            if (insn.k + 4 > sizeof(data)) return 0xdeadbeef;
            memcpy(&acc, reinterpret_cast<const char*>(&data) + insn.k, 4);
            ++pc;
            break;
        }
        case BPF_JMP | BPF_JEQ | BPF_K: pc += 1 + (acc == insn.k ? insn.jt : insn.jf); break;
        case BPF_JMP | BPF_JGE | BPF_K: pc += 1 + (acc >= insn.k ? insn.jt : insn.jf); break;
        case BPF_JMP | BPF_JSET | BPF_K: pc += 1 + ((acc & insn.k) != 0 ? insn.jt : insn.jf); break;
        case BPF_JMP | BPF_JA: pc += 1 + insn.k; break;
        case BPF_ALU | BPF_AND | BPF_K:
            acc &= insn.k;
            ++pc;
            break;
        case BPF_RET | BPF_K: return insn.k;
        default: return 0xdeadbeef;
        }
    }
    return 0xdeadbeef;
}
