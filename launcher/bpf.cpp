#include "launcher/bpf.h"

namespace {

constexpr uint16_t k_unplaced = 0xffff;

void emit(BpfAssembler* a, uint16_t code, uint32_t k) {
    if (a->length >= a->cap || a->length >= k_bpf_max_insns) {
        a->failed = true;
        return;
    }
    a->out[a->length++] = sock_filter{code, 0, 0, k};
}

// The offset from the jump at insn to label, or false.
bool offset_to(const BpfAssembler* a, size_t insn, BpfLabel label, uint8_t* offset) {
    if (label == k_next) {
        *offset = 0;
        return true;
    }
    size_t target = a->placed_at[label];
    if (target == k_unplaced || target <= insn || target - insn - 1 > 255) return false;
    *offset = static_cast<uint8_t>(target - insn - 1);
    return true;
}

}  // namespace

void bpf_start(BpfAssembler* a, sock_filter* out, size_t cap) {
    a->out = out;
    a->cap = cap;
    a->length = 0;
    a->failed = false;
    a->label_count = 1;  // k_next
    a->jump_count = 0;
}

BpfLabel bpf_new_label(BpfAssembler* a) {
    if (a->label_count >= k_bpf_max_labels) {
        a->failed = true;
        return k_next;
    }
    a->placed_at[a->label_count] = k_unplaced;
    return a->label_count++;
}

void bpf_place(BpfAssembler* a, BpfLabel label) {
    if (label == k_next || label >= a->label_count || a->placed_at[label] != k_unplaced) {
        a->failed = true;
        return;
    }
    a->placed_at[label] = static_cast<uint16_t>(a->length);
}

void bpf_load(BpfAssembler* a, uint32_t offset) {
    emit(a, BPF_LD | BPF_W | BPF_ABS, offset);
}

void bpf_and(BpfAssembler* a, uint32_t mask) {
    emit(a, BPF_ALU | BPF_AND | BPF_K, mask);
}

void bpf_jump(BpfAssembler* a, uint16_t op, uint32_t k, BpfLabel on_true, BpfLabel on_false) {
    const size_t at = a->length;
    emit(a, static_cast<uint16_t>(BPF_JMP | op | BPF_K), k);
    // Every recorded jump is an instruction that fit, so the record fits too.
    if (!a->failed && (on_true != k_next || on_false != k_next)) {
        a->jumps[a->jump_count++] = {static_cast<uint16_t>(at), on_true, on_false};
    }
}

void bpf_return(BpfAssembler* a, uint32_t value) {
    emit(a, BPF_RET | BPF_K, value);
}

size_t bpf_finish(BpfAssembler* a) {
    for (size_t i = 0; i < a->jump_count && !a->failed; ++i) {
        const BpfAssembler::Jump& jump = a->jumps[i];
        sock_filter& insn = a->out[jump.insn];
        if (!offset_to(a, jump.insn, jump.on_true, &insn.jt) || !offset_to(a, jump.insn, jump.on_false, &insn.jf)) {
            a->failed = true;
        }
    }
    return a->failed ? 0 : a->length;
}
