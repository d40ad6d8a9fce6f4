// A small assembler for classic BPF. Instructions are written in order
// into a caller's buffer; jumps name labels instead of offsets, and a label
// is placed where its instruction comes. Classic BPF jumps only forward, at
// most 255 instructions: bpf_finish resolves every jump in one pass and
// fails the program when one breaks either rule or a label was never
// placed.
//
//     BpfAssembler a;
//     bpf_start(&a, program, capacity);
//     BpfLabel trap = bpf_new_label(&a);
//     bpf_load(&a, offsetof(seccomp_data, nr));
//     bpf_jump(&a, BPF_JEQ, 257, trap, k_next);  // equal: on to trap
//     bpf_return(&a, SECCOMP_RET_ALLOW);
//     bpf_place(&a, trap);
//     bpf_return(&a, SECCOMP_RET_USER_NOTIF);
//     size_t length = bpf_finish(&a);             // 0: it did not fit
#pragma once

#include <linux/filter.h>
#include <stddef.h>
#include <stdint.h>

using BpfLabel = uint16_t;

// The instruction right after the jump.
inline constexpr BpfLabel k_next = 0;

inline constexpr size_t k_bpf_max_insns = 512;
inline constexpr size_t k_bpf_max_labels = 256;

struct BpfAssembler {
    struct Jump {
        uint16_t insn;
        BpfLabel on_true;
        BpfLabel on_false;
    };
    sock_filter* out;
    size_t cap;
    size_t length;
    bool failed;
    uint16_t label_count;
    uint16_t placed_at[k_bpf_max_labels];  // k_unplaced until placed
    Jump jumps[k_bpf_max_insns];
    size_t jump_count;
};

void bpf_start(BpfAssembler* a, sock_filter* out, size_t cap);

// A label to jump to, placed later.
[[nodiscard]] BpfLabel bpf_new_label(BpfAssembler* a);

// The next instruction written is where label leads.
void bpf_place(BpfAssembler* a, BpfLabel label);

// Loads the 32-bit word at offset of the seccomp data.
void bpf_load(BpfAssembler* a, uint32_t offset);

// Keeps only the bits of mask in the loaded word.
void bpf_and(BpfAssembler* a, uint32_t mask);

// Compares the loaded word with k: op is BPF_JEQ, BPF_JGE or BPF_JSET.
void bpf_jump(BpfAssembler* a, uint16_t op, uint32_t k, BpfLabel on_true, BpfLabel on_false);

void bpf_return(BpfAssembler* a, uint32_t value);

// Resolves every jump. Returns the instruction count, or 0 when anything
// failed: too many instructions or labels, a label never placed, a jump
// backward or farther than 255.
[[nodiscard]] size_t bpf_finish(BpfAssembler* a);
