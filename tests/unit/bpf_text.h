// The filter as text, one instruction a line, for failure messages and the
// checked-in disassembly: jumps name the instructions they lead to, call
// numbers their calls, returns their answers.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/call_table.h"

namespace bpf_text {

constexpr long k_unreached = -2;
constexpr long k_nothing = -1;  // nothing loaded yet
constexpr long k_mixed = -3;    // different words on different paths

// What each instruction finds loaded: an offset into the seccomp data, or
// one of the values above. Jumps only go forward, so one pass sees every
// path into an instruction before the instruction itself.
inline std::vector<long> loaded_words(const sock_filter* program, size_t length) {
    std::vector<long> word(length + 1, k_unreached);
    if (length > 0) word[0] = k_nothing;
    auto reach = [&](size_t at, long value) {
        if (at > length) return;
        word[at] = word[at] == k_unreached || word[at] == value ? value : k_mixed;
    };
    for (size_t i = 0; i < length; ++i) {
        if (word[i] == k_unreached) continue;
        const sock_filter& insn = program[i];
        if (BPF_CLASS(insn.code) == BPF_LD) {
            reach(i + 1, insn.k);
        } else if (BPF_CLASS(insn.code) == BPF_JMP) {
            reach(i + 1 + insn.jt, word[i]);
            reach(i + 1 + insn.jf, word[i]);
        }
    }
    return word;
}

inline std::string word_name(long offset) {
    if (offset == static_cast<long>(offsetof(seccomp_data, nr))) return "nr";
    if (offset == static_cast<long>(offsetof(seccomp_data, arch))) return "arch";
    const long args = static_cast<long>(offsetof(seccomp_data, args));
    if (offset >= args && offset < args + 48 && (offset - args) % 8 == 0) {
        return "args[" + std::to_string((offset - args) / 8) + "] low";
    }
    return "offset " + std::to_string(offset);
}

inline std::string answer_name(uint32_t value) {
    switch (value & SECCOMP_RET_ACTION_FULL) {
    case SECCOMP_RET_ALLOW: return "ALLOW";
    case SECCOMP_RET_USER_NOTIF: return "USER_NOTIF";
    case SECCOMP_RET_KILL_PROCESS: return "KILL_PROCESS";
    case SECCOMP_RET_ERRNO: {
        const char* name = strerrorname_np(static_cast<int>(value & SECCOMP_RET_DATA));
        return std::string("ERRNO(") + (name != nullptr ? name : std::to_string(value & SECCOMP_RET_DATA)) + ")";
    }
    default: return "?";
    }
}

// What a constant compared with the loaded word means.
inline std::string constant_name(long word, uint32_t k, uint16_t op, Arch arch) {
    if (word == static_cast<long>(offsetof(seccomp_data, nr))) {
        if (op == BPF_JGE && k == k_x32_syscall_bit) return "x32 bit";
        const CallRow* row = find_call(arch, k);
        return row != nullptr ? row->name : "";
    }
    if (word == static_cast<long>(offsetof(seccomp_data, arch))) {
        for (const ArchTraits& traits : k_arch_traits) {
            if (traits.audit_arch == k) return traits.name;
        }
    }
    return "";
}

}  // namespace bpf_text

// Instruction at of program, with its index.
inline std::string format_instruction(const sock_filter* program, size_t length, size_t at, Arch arch) {
    using namespace bpf_text;
    const sock_filter& insn = program[at];
    const long word = loaded_words(program, length)[at];
    char line[160];
    if (insn.code == (BPF_LD | BPF_W | BPF_ABS)) {
        snprintf(line, sizeof(line), "%4zu  ld    [%s]", at, word_name(insn.k).c_str());
    } else if (insn.code == (BPF_RET | BPF_K)) {
        snprintf(line, sizeof(line), "%4zu  ret   %s", at, answer_name(insn.k).c_str());
    } else if (BPF_CLASS(insn.code) == BPF_JMP && BPF_SRC(insn.code) == BPF_K) {
        const uint16_t op = BPF_OP(insn.code);
        const char* mnemonic = op == BPF_JEQ ? "jeq" : op == BPF_JGE ? "jge" : op == BPF_JSET ? "jset" : "j?";
        std::string name = constant_name(word, insn.k, op, arch);
        char constant[64];
        snprintf(constant, sizeof(constant),
                 word == static_cast<long>(offsetof(seccomp_data, nr)) && insn.k < 0x10000 ? "%u" : "%#x", insn.k);
        snprintf(line, sizeof(line), "%4zu  %-4s  %-10s %-20s -> %zu : %zu", at, mnemonic, constant, name.c_str(),
                 at + 1 + insn.jt, at + 1 + insn.jf);
    } else {
        snprintf(line, sizeof(line), "%4zu  code %#06x jt %u jf %u k %#x", at, insn.code, insn.jt, insn.jf, insn.k);
    }
    std::string text = line;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The whole program, one line an instruction.
inline std::string format_filter(const sock_filter* program, size_t length, Arch arch) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += format_instruction(program, length, i, arch) + "\n";
    return text;
}
