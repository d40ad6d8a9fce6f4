#include "launcher/filter.h"

#include <gtest/gtest.h>
#include <linux/seccomp.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "launcher/arch.h"
#include "unit/bpf_run.h"

namespace {

struct Row {
    const char* name;
    int x86_64;
    int aarch64;  // -1: no such call
};

// The trapped calls in chain order, with the numbers of both builds.
const Row k_expected[] = {
    {"openat", 257, 56},        {"openat2", 437, 437},      {"open", 2, -1},
    {"creat", 85, -1},          {"statx", 332, 291},        {"newfstatat", 262, 79},
    {"stat", 4, -1},            {"lstat", 6, -1},           {"access", 21, -1},
    {"faccessat", 269, 48},     {"faccessat2", 439, 439},   {"readlinkat", 267, 78},
    {"readlink", 89, -1},       {"mkdirat", 258, 34},       {"mkdir", 83, -1},
    {"unlinkat", 263, 35},      {"unlink", 87, -1},         {"rmdir", 84, -1},
    {"renameat", 264, 38},      {"renameat2", 316, 276},    {"rename", 82, -1},
    {"linkat", 265, 37},        {"link", 86, -1},           {"symlinkat", 266, 36},
    {"symlink", 88, -1},        {"fchmodat", 268, 53},      {"fchmodat2", 452, 452},
    {"chmod", 90, -1},          {"fchownat", 260, 54},      {"chown", 92, -1},
    {"lchown", 94, -1},         {"truncate", 76, 45},       {"mknodat", 259, 33},
    {"mknod", 133, -1},         {"utimensat", 280, 88},     {"execve", 59, 221},
    {"execveat", 322, 281},     {"connect", 42, 203},       {"sendto", 44, 206},
    {"ptrace", 101, 117},       {"process_vm_readv", 310, 270}, {"process_vm_writev", 311, 271},
    {"kill", 62, 129},          {"tkill", 200, 130},        {"tgkill", 234, 131},
};

std::vector<int> expected_table(bool aarch64) {
    std::vector<int> table;
    for (const Row& row : k_expected) {
        int nr = aarch64 ? row.aarch64 : row.x86_64;
        if (nr >= 0) table.push_back(nr);
    }
    return table;
}

struct Build {
    const char* name;
    bool aarch64;
};

FilterLayout layout_of(bool aarch64, int guard) {
    FilterLayout layout;
    layout.audit_arch = aarch64 ? k_audit_arch_aarch64 : k_audit_arch_x86_64;
    layout.guard_abi = guard;
    layout.reject_x32 = !aarch64;
    layout.refused = k_refused_calls;
    layout.refused_count = k_refused_count;
    layout.aarch64_column = aarch64;
    layout.clone_nr = aarch64 ? k_aarch64_nr_clone : k_x86_64_nr_clone;
    layout.ioctl_nr = aarch64 ? k_aarch64_nr_ioctl : k_x86_64_nr_ioctl;
    layout.extra = aarch64 ? k_aarch64_extra_calls.data() : k_x86_64_extra_calls.data();
    layout.extra_count = aarch64 ? k_aarch64_extra_calls.size() : k_x86_64_extra_calls.size();
    layout.chain = aarch64 ? k_aarch64_syscalls.data() : k_x86_64_syscalls.data();
    layout.chain_count = aarch64 ? k_aarch64_syscalls.size() : k_x86_64_syscalls.size();
    return layout;
}

std::vector<sock_filter> build(const FilterLayout& layout) {
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(layout, program.data(), program.size());
    program.resize(length);
    return program;
}

class FilterProgram : public ::testing::TestWithParam<Build> {};

TEST_P(FilterProgram, TableMatchesTheTrappedCalls) {
    const FilterLayout layout = layout_of(GetParam().aarch64, 1);
    std::vector<int> expected = expected_table(GetParam().aarch64);
    ASSERT_EQ(layout.chain_count, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(layout.chain[i], expected[i]) << "position " << i + 1;
}

// The expected program, written out independently of the builder: the
// guard; then, after the search that screens the call number (checked on its
// own below) and its "allow" return, the refused calls, the clone and ioctl
// argument checks, the calls trapped ahead of the chain, the chain itself,
// and the returns. Both parts use jumps within themselves only.
struct Insn {
    unsigned short code;
    unsigned char jt;
    unsigned char jf;
    unsigned k;
};

struct ExpectedProgram {
    std::vector<Insn> guard;
    std::vector<Insn> tail;
};

ExpectedProgram expected_program(bool aarch64) {
    const FilterLayout layout = layout_of(aarch64, 1);
    const size_t refused = k_refused_count;
    const size_t extra = layout.extra_count;
    const size_t n = layout.chain_count;
    const size_t clone_at = refused;                    // compare, load, test
    const size_t ioctl_at = clone_at + 3;               // compare, load, two requests
    const size_t extra_at = ioctl_at + 4;
    const size_t chain_at = extra_at + extra;
    const size_t allow = chain_at + n;
    const size_t notify = allow + 1;
    const size_t enosys = notify + 1;
    const size_t eperm = enosys + 1;
    auto to = [](size_t from, size_t target) { return static_cast<unsigned char>(target - from - 1); };

    ExpectedProgram e;
    // The guard's kill jumps reach the end of the whole program; they are
    // checked by where they land.
    e.guard.push_back({0x20, 0, 0, 4});  // arch
    e.guard.push_back({0x15, 0, 0, layout.audit_arch});
    e.guard.push_back({0x20, 0, 0, 0});  // nr
    if (!aarch64) e.guard.push_back({0x35, 0, 0, 0x40000000});

    std::vector<Insn>& p = e.tail;
    for (size_t i = 0; i < refused; ++i) {
        const RefusedCall& call = k_refused_calls[i];
        size_t at = p.size();
        p.push_back({0x15, to(at, call.error == 38 ? enosys : eperm), 0,
                     static_cast<unsigned>(aarch64 ? call.aarch64 : call.x86_64)});
    }
    p.push_back({0x15, 0, to(clone_at, ioctl_at), static_cast<unsigned>(layout.clone_nr)});
    p.push_back({0x20, 0, 0, 16});  // args[0], low half
    p.push_back({0x45, to(clone_at + 2, eperm), to(clone_at + 2, allow), 0x7e020000});
    p.push_back({0x15, 0, to(ioctl_at, extra_at), static_cast<unsigned>(layout.ioctl_nr)});
    p.push_back({0x20, 0, 0, 24});  // args[1], low half
    p.push_back({0x15, to(ioctl_at + 2, eperm), 0, 0x5412});
    p.push_back({0x15, to(ioctl_at + 3, eperm), to(ioctl_at + 3, allow), 0x541c});
    for (size_t i = 0; i < extra; ++i) {
        p.push_back({0x15, to(extra_at + i, notify), 0, static_cast<unsigned>(layout.extra[i])});
    }
    for (size_t j = 1; j <= n; ++j) {
        p.push_back({0x15, static_cast<unsigned char>(n + 1 - j), 0, static_cast<unsigned>(layout.chain[j - 1])});
    }
    p.push_back({0x06, 0, 0, 0x7fff0000});
    p.push_back({0x06, 0, 0, 0x7fc00000});
    p.push_back({0x06, 0, 0, 0x00050000 | 38});
    p.push_back({0x06, 0, 0, 0x00050000 | 1});
    p.push_back({0x06, 0, 0, 0x80000000});
    return e;
}

void expect_same(const sock_filter& got, const Insn& want, size_t at) {
    SCOPED_TRACE("instruction " + std::to_string(at));
    EXPECT_EQ(got.code, want.code);
    EXPECT_EQ(got.jt, want.jt);
    EXPECT_EQ(got.jf, want.jf);
    EXPECT_EQ(got.k, want.k);
}

// The screen: from after the guard to its own "allow" return.
size_t screen_allow_of(const std::vector<sock_filter>& program, size_t guard) {
    size_t at = guard;
    while (at < program.size() && program[at].code != (BPF_RET | BPF_K)) ++at;
    return at;
}

// Every number the program names anywhere, in either build.
std::set<int> named_numbers(const FilterLayout& layout) {
    std::set<int> named(layout.chain, layout.chain + layout.chain_count);
    named.insert(layout.extra, layout.extra + layout.extra_count);
    for (const RefusedCall& call : k_refused_calls) named.insert(layout.aarch64_column ? call.aarch64 : call.x86_64);
    named.insert(layout.clone_nr);
    named.insert(layout.ioctl_nr);
    return named;
}

TEST_P(FilterProgram, EveryInstruction) {
    std::vector<sock_filter> program = build(layout_of(GetParam().aarch64, 1));
    ExpectedProgram expected = expected_program(GetParam().aarch64);
    const size_t guard = expected.guard.size();
    const size_t screen_allow = screen_allow_of(program, guard);
    ASSERT_EQ(program.size(), screen_allow + 1 + expected.tail.size());
    const size_t kill = program.size() - 1;
    for (size_t i = 0; i < guard; ++i) {
        Insn want = expected.guard[i];
        if (i == 1) want.jf = static_cast<unsigned char>(kill - 2);
        if (i == 3) want.jt = static_cast<unsigned char>(kill - 4);
        expect_same(program[i], want, i);
    }
    EXPECT_EQ(program[screen_allow].k, 0x7fff0000u);
    for (size_t i = 0; i < expected.tail.size(); ++i) {
        expect_same(program[screen_allow + 1 + i], expected.tail[i], screen_allow + 1 + i);
    }
    // The screen compares the number only, and leads to its "allow" return
    // or on to the first refused call.
    for (size_t i = guard; i < screen_allow; ++i) {
        SCOPED_TRACE("instruction " + std::to_string(i));
        const sock_filter& insn = program[i];
        EXPECT_TRUE(insn.code == (BPF_JMP | BPF_JEQ | BPF_K) || insn.code == (BPF_JMP | BPF_JGE | BPF_K));
        EXPECT_LE(i + 1 + insn.jt, screen_allow + 1);
        EXPECT_LE(i + 1 + insn.jf, screen_allow + 1);
    }
}

// The kernel runs the program for every call number when it installs it.
// The screen decides within a few steps whether a number goes on down the
// line: exactly when the line names it.
TEST_P(FilterProgram, ScreenTakesAFewStepsPerNumber) {
    const FilterLayout layout = layout_of(GetParam().aarch64, 1);
    std::vector<sock_filter> program = build(layout);
    const size_t guard = GetParam().aarch64 ? 3 : 4;
    const size_t screen_allow = screen_allow_of(program, guard);
    const std::set<int> named = named_numbers(layout);
    // Only the screen: its exits become the two answers.
    std::vector<sock_filter> screen(program.begin(), program.begin() + static_cast<long>(screen_allow) + 2);
    screen[screen_allow + 1] = {BPF_RET | BPF_K, 0, 0, 1};
    size_t total = 0;
    for (int nr = 0; nr < 600; ++nr) {
        seccomp_data data{};
        data.nr = nr;
        data.arch = layout.audit_arch;
        size_t steps = 0;
        uint32_t result = run_bpf(screen.data(), screen.size(), data, &steps);
        EXPECT_EQ(result, named.count(nr) ? 1u : SECCOMP_RET_ALLOW) << "call " << nr;
        EXPECT_LE(steps, guard + 12u) << "call " << nr;
        total += steps;
    }
    // Down the line alone it would be near a hundred steps for most numbers.
    EXPECT_LT(total, 600u * 16u);
}

// The chain inside the program is the plain chain: n comparisons, each
// jumping straight to the notify return, then allow, then notify.
TEST_P(FilterProgram, ChainStandsAsItIs) {
    const FilterLayout layout = layout_of(GetParam().aarch64, 1);
    std::vector<sock_filter> program = build(layout);
    const size_t n = layout.chain_count;
    const size_t chain_at = program.size() - 3 - 2 - n;
    EXPECT_EQ(program[chain_at].jt, n);
    EXPECT_EQ(program[chain_at + n - 1].jt, 1);
    EXPECT_EQ(program[chain_at + n].k, 0x7fff0000u);
    EXPECT_EQ(program[chain_at + n + 1].k, 0x7fc00000u);
}

uint32_t answer(const std::vector<sock_filter>& program, uint32_t arch, int nr, uint64_t arg0 = 0,
                uint64_t arg1 = 0) {
    seccomp_data data{};
    data.nr = nr;
    data.arch = arch;
    data.args[0] = arg0;
    data.args[1] = arg1;
    return run_bpf(program.data(), program.size(), data);
}

TEST_P(FilterProgram, AnswersForEveryNumber) {
    const bool aarch64 = GetParam().aarch64;
    const FilterLayout layout = layout_of(aarch64, 1);
    std::vector<sock_filter> program = build(layout);
    std::set<int> trapped(layout.chain, layout.chain + layout.chain_count);
    trapped.insert(layout.extra, layout.extra + layout.extra_count);
    std::map<int, uint32_t> refused;
    for (const RefusedCall& call : k_refused_calls) {
        refused[aarch64 ? call.aarch64 : call.x86_64] = SECCOMP_RET_ERRNO | static_cast<uint32_t>(call.error);
    }
    for (int nr = -2; nr < 600; ++nr) {
        uint32_t expected = SECCOMP_RET_ALLOW;
        if (trapped.count(nr)) expected = SECCOMP_RET_USER_NOTIF;
        if (refused.count(nr)) expected = refused[nr];
        if (nr == -2 || nr == -1) expected = aarch64 ? SECCOMP_RET_ALLOW : SECCOMP_RET_KILL_PROCESS;
        ASSERT_EQ(answer(program, layout.audit_arch, nr, 0xffffffff00000000ull), expected) << "call " << nr;
        // Any other ABI of the machine is killed, whatever the number.
        for (uint32_t arch : {0u, 0x40000003u, 0x40000028u, 0xc000003eu, 0xc00000b7u}) {
            if (arch == layout.audit_arch) continue;
            ASSERT_EQ(answer(program, arch, nr), SECCOMP_RET_KILL_PROCESS) << "call " << nr;
        }
        if (!aarch64) {
            ASSERT_EQ(answer(program, layout.audit_arch, nr | 0x40000000), SECCOMP_RET_KILL_PROCESS) << nr;
        }
    }
}

TEST_P(FilterProgram, CloneAndIoctlArguments) {
    const FilterLayout layout = layout_of(GetParam().aarch64, 1);
    std::vector<sock_filter> program = build(layout);
    const uint32_t arch = layout.audit_arch;
    const uint32_t eperm = SECCOMP_RET_ERRNO | 1;
    // Threads and plain forks; every namespace flag alone.
    EXPECT_EQ(answer(program, arch, layout.clone_nr, 0x3d0f00), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, arch, layout.clone_nr, 0x1200011), SECCOMP_RET_ALLOW);
    for (uint64_t flag : {0x20000ull, 0x2000000ull, 0x4000000ull, 0x8000000ull, 0x10000000ull, 0x20000000ull,
                          0x40000000ull}) {
        EXPECT_EQ(answer(program, arch, layout.clone_nr, flag | 0x11), eperm) << std::hex << flag;
    }
    EXPECT_EQ(answer(program, arch, layout.ioctl_nr, 0, 0x5412), eperm);
    EXPECT_EQ(answer(program, arch, layout.ioctl_nr, 0, 0x541c), eperm);
    // The kernel takes the request as 32 bits.
    EXPECT_EQ(answer(program, arch, layout.ioctl_nr, 0, 0xffffffff00005412ull), eperm);
    EXPECT_EQ(answer(program, arch, layout.ioctl_nr, 0, 0x5413), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, arch, layout.ioctl_nr, 0, 0x5401), SECCOMP_RET_ALLOW);
}

// Without the guard (a test build only), a foreign ABI's numbers meet the
// chain like native ones: the guard is what stops them.
TEST_P(FilterProgram, WithoutTheGuardForeignCallsRun) {
    const FilterLayout layout = layout_of(GetParam().aarch64, 0);
    std::vector<sock_filter> program = build(layout);
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program[0].k, 0u);  // starts with the number
    EXPECT_EQ(answer(program, 0x40000003u, 20), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, layout.audit_arch, 0x40000055), SECCOMP_RET_ALLOW);
}

const Build k_builds[] = {{"x86_64", false}, {"aarch64", true}};

INSTANTIATE_TEST_SUITE_P(Builds, FilterProgram, ::testing::ValuesIn(k_builds),
                         [](const auto& build_info) { return std::string(build_info.param.name); });

TEST(FilterProgram, TableLengthsOfBothBuilds) {
    EXPECT_EQ(k_x86_64_syscalls.size(), 45u);
    EXPECT_EQ(k_aarch64_syscalls.size(), 29u);
    EXPECT_EQ(k_x86_64_extra_calls.size(), 15u);
    EXPECT_EQ(k_aarch64_extra_calls.size(), 12u);
}

TEST(FilterProgram, RefusesABufferTooSmall) {
    const FilterLayout layout = layout_of(false, 1);
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(layout, program.data(), program.size());
    ASSERT_GT(length, 0u);
    EXPECT_EQ(build_filter(layout, program.data(), length - 1), 0u);
    EXPECT_EQ(build_filter(layout, program.data(), length), length);
}

TEST(FilterProgram, NeighboursOfTrappedCallsRunUnchecked) {
    // fchmod, ftruncate, fchown and fsetxattr (x86-64) sit beside trapped calls.
    std::vector<sock_filter> program = build(layout_of(false, 1));
    for (int nr : {91, 77, 93, 190}) EXPECT_EQ(answer(program, k_audit_arch_x86_64, nr), SECCOMP_RET_ALLOW) << nr;
}

TEST(FilterProgram, NativeLayoutIsOneOfTheTwo) {
    FilterLayout native = native_filter_layout(1);
    FilterLayout expected = layout_of(k_is_aarch64, 1);
    EXPECT_EQ(build(native).size(), build(expected).size());
    EXPECT_EQ(native.audit_arch, expected.audit_arch);
}

TEST(ArchHeader, NativeNumbersAreDistinctSwitchLabels) {
    std::set<int> seen;
    for (int id = 0; id < CALL_COUNT; ++id) EXPECT_TRUE(seen.insert(native_nr(static_cast<CallId>(id))).second);
    EXPECT_EQ(static_cast<size_t>(k_native_call_count), syscalls.size());
}

}  // namespace
