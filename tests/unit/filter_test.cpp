#include "launcher/filter.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/call_table.h"
#include "filter_text.h"
#include "supervisor/dispatch.h"
#include "unit/bpf_run.h"
#include "unit/bpf_text.h"

namespace {

struct Row {
    const char* name;
    int x86_64;
    int aarch64;  // -1: no such call
};

// The notified calls compared ahead of the chain: destinations in message
// headers, attribute changes, old time calls, other signals.
const Row k_expected_ahead[] = {
    // clang-format off
    {"sendmsg", 46, 211},        {"sendmmsg", 307, 269},         {"setxattr", 188, 5},
    {"lsetxattr", 189, 6},       {"removexattr", 197, 14},       {"lremovexattr", 198, 15},
    {"setxattrat", 463, 463},    {"removexattrat", 466, 466},    {"file_setattr", 469, 469},
    {"utime", 132, -1},          {"utimes", 235, -1},            {"futimesat", 261, -1},
    {"rt_sigqueueinfo", 129, 138}, {"rt_tgsigqueueinfo", 297, 240}, {"pidfd_send_signal", 424, 424},
    // clang-format on
};

// The trapped calls of the chain, in order, with the numbers of both builds.
const Row k_expected_chain[] = {
    // clang-format off
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
    // clang-format on
};

template <size_t N>
std::vector<int> numbers_of(const Row (&rows)[N], bool aarch64) {
    std::vector<int> numbers;
    for (const Row& row : rows) {
        int nr = aarch64 ? row.aarch64 : row.x86_64;
        if (nr >= 0) numbers.push_back(nr);
    }
    return numbers;
}

struct Build {
    const char* name;
    bool aarch64;
};

Arch arch_of(bool aarch64) {
    return aarch64 ? Arch::aarch64 : Arch::x86_64;
}

// The table's numbers of arch whose rows the filter treats by rule, in order.
std::vector<int> numbers_with(Arch arch, FilterRule rule) {
    std::vector<int> numbers;
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr != k_absent && k_calls[i].filter == rule) numbers.push_back(nr);
    }
    return numbers;
}

int number_of(const char* name, Arch arch) {
    return call_number(*find_call_by_name(name), arch);
}

std::vector<sock_filter> build(Arch arch, bool guard = true) {
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(arch, guard, program.data(), program.size());
    program.resize(length);
    return program;
}

class FilterProgram : public ::testing::TestWithParam<Build> {
protected:
    Arch arch() const { return arch_of(GetParam().aarch64); }
    uint32_t audit_arch() const { return traits_of(arch()).audit_arch; }
};

TEST_P(FilterProgram, TableMatchesTheTrappedCalls) {
    std::vector<int> expected = numbers_of(k_expected_ahead, GetParam().aarch64);
    std::vector<int> chain = numbers_of(k_expected_chain, GetParam().aarch64);
    expected.insert(expected.end(), chain.begin(), chain.end());
    std::vector<int> notified = numbers_with(arch(), FilterRule::notify);
    ASSERT_EQ(notified.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(notified[i], expected[i]) << "position " << i + 1;
}

// The expected program, written out independently of the builder: the
// guard; then, after the search that screens the call number (checked on its
// own below) and its "allow" return, the refused calls, the clone and ioctl
// argument checks, the notified calls, and the returns. Both parts use jumps
// within themselves only.
struct ExpectedProgram {
    std::vector<sock_filter> guard;
    std::vector<sock_filter> tail;
};

constexpr uint32_t k_arg0_low = offsetof(seccomp_data, args[0]);
constexpr uint32_t k_arg1_low = offsetof(seccomp_data, args[1]);

ExpectedProgram expected_program(Arch arch) {
    const std::vector<int> enosys_calls = numbers_with(arch, FilterRule::fail_enosys);
    std::vector<int> refused;
    std::set<int> enosys_set(enosys_calls.begin(), enosys_calls.end());
    for (size_t i = 0; i < k_call_count; ++i) {
        FilterRule rule = k_calls[i].filter;
        int nr = call_number(k_calls[i], arch);
        if (nr != k_absent && (rule == FilterRule::fail_enosys || rule == FilterRule::fail_eperm))
            refused.push_back(nr);
    }
    const std::vector<int> notified = numbers_with(arch, FilterRule::notify);
    const size_t clone_at = refused.size();  // compare, load, test
    const size_t ioctl_at = clone_at + 3;    // compare, load, two requests
    const size_t notified_at = ioctl_at + 4;
    const size_t allow = notified_at + notified.size();
    const size_t notify = allow + 1;
    const size_t enosys = notify + 1;
    const size_t eperm = enosys + 1;
    auto to = [](size_t from, size_t target) { return static_cast<unsigned char>(target - from - 1); };
    auto jeq = [](unsigned char jt, unsigned char jf, uint32_t k) {
        return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, jt, jf, k};
    };
    auto load = [](uint32_t offset) { return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, offset}; };
    auto ret = [](uint32_t value) { return sock_filter{BPF_RET | BPF_K, 0, 0, value}; };

    ExpectedProgram e;
    // The guard's kill jumps reach the end of the whole program; they are
    // checked by where they land.
    e.guard.push_back(load(offsetof(seccomp_data, arch)));
    e.guard.push_back(jeq(0, 0, traits_of(arch).audit_arch));
    e.guard.push_back(load(offsetof(seccomp_data, nr)));
    if (traits_of(arch).has_x32) e.guard.push_back({BPF_JMP | BPF_JGE | BPF_K, 0, 0, 0x40000000});

    std::vector<sock_filter>& p = e.tail;
    for (size_t i = 0; i < refused.size(); ++i) {
        p.push_back(jeq(to(i, enosys_set.count(refused[i]) ? enosys : eperm), 0, static_cast<uint32_t>(refused[i])));
    }
    p.push_back(jeq(0, to(clone_at, ioctl_at), static_cast<uint32_t>(number_of("clone", arch))));
    p.push_back(load(k_arg0_low));
    p.push_back({BPF_JMP | BPF_JSET | BPF_K, to(clone_at + 2, eperm), to(clone_at + 2, allow), 0x7e020000});
    p.push_back(jeq(0, to(ioctl_at, notified_at), static_cast<uint32_t>(number_of("ioctl", arch))));
    p.push_back(load(k_arg1_low));
    p.push_back(jeq(to(ioctl_at + 2, eperm), 0, 0x5412));                        // TIOCSTI
    p.push_back(jeq(to(ioctl_at + 3, eperm), to(ioctl_at + 3, allow), 0x541c));  // TIOCLINUX
    for (size_t i = 0; i < notified.size(); ++i) {
        p.push_back(jeq(to(notified_at + i, notify), 0, static_cast<uint32_t>(notified[i])));
    }
    p.push_back(ret(SECCOMP_RET_ALLOW));
    p.push_back(ret(SECCOMP_RET_USER_NOTIF));
    p.push_back(ret(SECCOMP_RET_ERRNO | ENOSYS));
    p.push_back(ret(SECCOMP_RET_ERRNO | EPERM));
    p.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    return e;
}

void expect_same(const std::vector<sock_filter>& program, size_t at, const sock_filter& want, Arch arch) {
    const sock_filter& got = program[at];
    SCOPED_TRACE("instruction " + format_instruction(program.data(), program.size(), at, arch) + ", expected " +
                 format_instruction(&want, 1, 0, arch));
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

// Every number the program names anywhere.
std::set<int> named_numbers(Arch arch) {
    std::set<int> named;
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr != k_absent) named.insert(nr);
    }
    return named;
}

TEST_P(FilterProgram, EveryInstruction) {
    std::vector<sock_filter> program = build(arch());
    ExpectedProgram expected = expected_program(arch());
    const size_t guard = expected.guard.size();
    const size_t screen_allow = screen_allow_of(program, guard);
    ASSERT_EQ(program.size(), screen_allow + 1 + expected.tail.size());
    const size_t kill = program.size() - 1;
    for (size_t i = 0; i < guard; ++i) {
        sock_filter want = expected.guard[i];
        if (i == 1) want.jf = static_cast<unsigned char>(kill - 2);
        if (i == 3) want.jt = static_cast<unsigned char>(kill - 4);
        expect_same(program, i, want, arch());
    }
    EXPECT_EQ(program[screen_allow].k, SECCOMP_RET_ALLOW);
    for (size_t i = 0; i < expected.tail.size(); ++i) {
        expect_same(program, screen_allow + 1 + i, expected.tail[i], arch());
    }
    // The screen compares the number only, and leads to its "allow" return
    // or on to the first refused call.
    for (size_t i = guard; i < screen_allow; ++i) {
        SCOPED_TRACE("instruction " + format_instruction(program.data(), program.size(), i, arch()));
        const sock_filter& insn = program[i];
        EXPECT_TRUE(insn.code == (BPF_JMP | BPF_JEQ | BPF_K) || insn.code == (BPF_JMP | BPF_JGE | BPF_K));
        EXPECT_LE(i + 1 + insn.jt, screen_allow + 1);
        EXPECT_LE(i + 1 + insn.jf, screen_allow + 1);
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The program as text, checked in: a change to the filter shows up in a
// review as a readable difference. SANDBOX_FILTER_TEXT_DIR=tests/unit
// rewrites the files (HACKING.md).
TEST_P(FilterProgram, SameAsTheCheckedInDisassembly) {
    std::vector<sock_filter> program = build(arch());
    const std::string text = format_filter(program.data(), program.size(), arch());
    const std::string file = std::string("filter_") + traits_of(arch()).name + ".txt";
    if (const char* dir = getenv("SANDBOX_FILTER_TEXT_DIR")) {
        std::ofstream(std::string(dir) + "/" + file) << text;
        GTEST_SKIP() << "rewrote " << dir << "/" << file;
    }
    const std::vector<std::string> want = lines_of(GetParam().aarch64 ? k_filter_text_aarch64 : k_filter_text_x86_64);
    const std::vector<std::string> got = lines_of(text);
    for (size_t i = 0; i < want.size() && i < got.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << file << ", line " << i + 1;
    }
    EXPECT_EQ(got.size(), want.size()) << file;
}

// The kernel runs the program for every call number when it installs it.
// The screen decides within a few steps whether a number goes on down the
// line: exactly when the line names it.
TEST_P(FilterProgram, ScreenTakesAFewStepsPerNumber) {
    std::vector<sock_filter> program = build(arch());
    const size_t guard = GetParam().aarch64 ? 3 : 4;
    const size_t screen_allow = screen_allow_of(program, guard);
    const std::set<int> named = named_numbers(arch());
    // Only the screen: its exits become the two answers.
    std::vector<sock_filter> screen(program.begin(), program.begin() + static_cast<long>(screen_allow) + 2);
    screen[screen_allow + 1] = {BPF_RET | BPF_K, 0, 0, 1};
    size_t total = 0;
    for (int nr = 0; nr < 600; ++nr) {
        seccomp_data data{};
        data.nr = nr;
        data.arch = audit_arch();
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
    std::vector<sock_filter> program = build(arch());
    const size_t n = numbers_of(k_expected_chain, GetParam().aarch64).size();
    const size_t chain_at = program.size() - 3 - 2 - n;
    EXPECT_EQ(program[chain_at].jt, n);
    EXPECT_EQ(program[chain_at + n - 1].jt, 1);
    EXPECT_EQ(program[chain_at + n].k, SECCOMP_RET_ALLOW);
    EXPECT_EQ(program[chain_at + n + 1].k, SECCOMP_RET_USER_NOTIF);
}

uint32_t answer(const std::vector<sock_filter>& program, uint32_t arch, int nr, uint64_t arg0 = 0, uint64_t arg1 = 0) {
    seccomp_data data{};
    data.nr = nr;
    data.arch = arch;
    data.args[0] = arg0;
    data.args[1] = arg1;
    return run_bpf(program.data(), program.size(), data);
}

TEST_P(FilterProgram, AnswersForEveryNumber) {
    const bool aarch64 = GetParam().aarch64;
    std::vector<sock_filter> program = build(arch());
    std::vector<int> notified = numbers_with(arch(), FilterRule::notify);
    std::set<int> trapped(notified.begin(), notified.end());
    std::map<int, uint32_t> refused;
    for (int nr : numbers_with(arch(), FilterRule::fail_enosys)) refused[nr] = SECCOMP_RET_ERRNO | ENOSYS;
    for (int nr : numbers_with(arch(), FilterRule::fail_eperm)) refused[nr] = SECCOMP_RET_ERRNO | EPERM;
    for (int nr = -2; nr < 600; ++nr) {
        uint32_t expected = SECCOMP_RET_ALLOW;
        if (trapped.count(nr)) expected = SECCOMP_RET_USER_NOTIF;
        if (refused.count(nr)) expected = refused[nr];
        if (nr == -2 || nr == -1) expected = aarch64 ? SECCOMP_RET_ALLOW : SECCOMP_RET_KILL_PROCESS;
        ASSERT_EQ(answer(program, audit_arch(), nr, 0xffffffff00000000ull), expected) << "call " << nr;
        // Any other ABI of the machine is killed, whatever the number.
        for (uint32_t arch : {0u, 0x40000003u, 0x40000028u, 0xc000003eu, 0xc00000b7u}) {
            if (arch == audit_arch()) continue;
            ASSERT_EQ(answer(program, arch, nr), SECCOMP_RET_KILL_PROCESS) << "call " << nr;
        }
        if (!aarch64) {
            ASSERT_EQ(answer(program, audit_arch(), nr | 0x40000000), SECCOMP_RET_KILL_PROCESS) << nr;
        }
    }
}

TEST_P(FilterProgram, CloneAndIoctlArguments) {
    std::vector<sock_filter> program = build(arch());
    const uint32_t arch = audit_arch();
    const int clone_nr = number_of("clone", this->arch());
    const int ioctl_nr = number_of("ioctl", this->arch());
    const uint32_t eperm = SECCOMP_RET_ERRNO | EPERM;
    // Threads and plain forks; every namespace flag alone.
    EXPECT_EQ(answer(program, arch, clone_nr, 0x3d0f00), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, arch, clone_nr, 0x1200011), SECCOMP_RET_ALLOW);
    for (uint64_t flag :
         {0x20000ull, 0x2000000ull, 0x4000000ull, 0x8000000ull, 0x10000000ull, 0x20000000ull, 0x40000000ull}) {
        EXPECT_EQ(answer(program, arch, clone_nr, flag | 0x11), eperm) << std::hex << flag;
    }
    EXPECT_EQ(answer(program, arch, ioctl_nr, 0, 0x5412), eperm);
    EXPECT_EQ(answer(program, arch, ioctl_nr, 0, 0x541c), eperm);
    // The kernel takes the request as 32 bits.
    EXPECT_EQ(answer(program, arch, ioctl_nr, 0, 0xffffffff00005412ull), eperm);
    EXPECT_EQ(answer(program, arch, ioctl_nr, 0, 0x5413), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, arch, ioctl_nr, 0, 0x5401), SECCOMP_RET_ALLOW);
}

// Without the guard (a test build only), a foreign ABI's numbers meet the
// chain like native ones: the guard is what stops them.
TEST_P(FilterProgram, WithoutTheGuardForeignCallsRun) {
    std::vector<sock_filter> program = build(arch(), false);
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program[0].k, offsetof(seccomp_data, nr));  // starts with the number
    EXPECT_EQ(answer(program, 0x40000003u, 20), SECCOMP_RET_ALLOW);
    EXPECT_EQ(answer(program, audit_arch(), 0x40000055), SECCOMP_RET_ALLOW);
}

// Every number the filter suspends reaches a judge: none falls through to
// the refusal for numbers no row handles. On the build's own architecture
// dispatch runs for each; the arguments are zero and there is no listener,
// so every check that reads or confirms anything refuses.
TEST_P(FilterProgram, EveryNotifiedNumberHasAHandler) {
    std::vector<sock_filter> program = build(arch());
    const Policy policy = {};
    const SandboxTree tree = {getpid(), -1, 0};
    int notified = 0;
    for (int nr = 0; nr < k_nr_limit + 64; ++nr) {
        if (answer(program, audit_arch(), nr) != SECCOMP_RET_USER_NOTIF) continue;
        ++notified;
        const CallRow* row = find_call(arch(), nr);
        ASSERT_NE(row, nullptr) << "call " << nr;
        EXPECT_NE(row->judge, Judge::none) << row->name;
        if (arch() != k_native_arch) continue;
        seccomp_notif notif{};
        notif.pid = static_cast<uint32_t>(getpid());
        notif.data.nr = nr;
        notif.data.arch = audit_arch();
        EXPECT_FALSE(dispatch_notification(&policy, -1, tree, notif).unhandled) << row->name;
    }
    EXPECT_EQ(static_cast<size_t>(notified), numbers_with(arch(), FilterRule::notify).size());
    // A number no row names is refused, not let through.
    seccomp_notif stray{};
    stray.data.nr = 0;
    Answer refused = dispatch_notification(&policy, -1, tree, stray);
    EXPECT_EQ(refused.error, EPERM);
    EXPECT_TRUE(refused.unhandled);
}

const Build k_builds[] = {{"x86_64", false}, {"aarch64", true}};

INSTANTIATE_TEST_SUITE_P(Builds, FilterProgram, ::testing::ValuesIn(k_builds),
                         [](const auto& build_info) { return std::string(build_info.param.name); });

TEST(FilterProgram, TableLengthsOfBothBuilds) {
    EXPECT_EQ(numbers_with(Arch::x86_64, FilterRule::notify).size(), 45u + 15u);
    EXPECT_EQ(numbers_with(Arch::aarch64, FilterRule::notify).size(), 29u + 12u);
}

TEST(FilterProgram, RefusesABufferTooSmall) {
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(Arch::x86_64, true, program.data(), program.size());
    ASSERT_GT(length, 0u);
    EXPECT_EQ(build_filter(Arch::x86_64, true, program.data(), length - 1), 0u);
    EXPECT_EQ(build_filter(Arch::x86_64, true, program.data(), length), length);
}

TEST(FilterProgram, NeighboursOfTrappedCallsRunUnchecked) {
    // fchmod, ftruncate, fchown and fsetxattr (x86-64) sit beside trapped calls.
    std::vector<sock_filter> program = build(Arch::x86_64);
    for (int nr : {91, 77, 93, 190}) {
        EXPECT_EQ(answer(program, traits_of(Arch::x86_64).audit_arch, nr), SECCOMP_RET_ALLOW) << nr;
    }
}

}  // namespace
