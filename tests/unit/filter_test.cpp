#include "launcher/filter.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/call_table.h"
#include "filter_text.h"
#include "supervisor/dispatch.h"
#include "supervisor/refusal.h"
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

// The notified calls after the chain: calls that reveal whether a path
// exists, changes through descriptors, local socket names, pidfds and
// inter-process objects.
const Row k_expected_after[] = {
    {"chdir", 80, 49},
    {"statfs", 137, 43},
    {"getxattr", 191, 8},
    {"lgetxattr", 192, 9},
    {"listxattr", 194, 11},
    {"llistxattr", 195, 12},
    {"getxattrat", 464, 464},
    {"listxattrat", 465, 465},
    {"inotify_add_watch", 254, 27},
    {"name_to_handle_at", 303, 264},
    {"fchmod", 91, 52},
    {"fchown", 93, 55},
    {"fsetxattr", 190, 7},
    {"fremovexattr", 199, 16},
    {"bind", 49, 200},
    {"process_mrelease", 448, 448},
    {"shmget", 29, 194},
    {"semget", 64, 190},
    {"msgget", 68, 186},
    {"shmat", 30, 196},
    {"shmctl", 31, 195},
    {"semop", 65, 193},
    {"semtimedop", 220, 192},
    {"semctl", 66, 191},
    {"msgsnd", 69, 189},
    {"msgrcv", 70, 188},
    {"msgctl", 71, 187},
    {"mq_open", 240, 180},
    {"mq_unlink", 241, 181},
    {"setuid", 105, 146},
    {"setgid", 106, 144},
    {"setreuid", 113, 145},
    {"setregid", 114, 143},
    {"setgroups", 116, 159},
    {"setresuid", 117, 147},
    {"setresgid", 119, 149},
    {"setfsuid", 122, 151},
    {"setfsgid", 123, 152},
    {"capset", 126, 91},
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

std::vector<sock_filter> build(Arch arch, bool guard = true, Refusals refusals = Refusals::in_filter) {
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(arch, guard, refusals, program.data(), program.size());
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
    for (const std::vector<int>& more :
         {numbers_of(k_expected_chain, GetParam().aarch64), numbers_of(k_expected_after, GetParam().aarch64)}) {
        expected.insert(expected.end(), more.begin(), more.end());
    }
    std::vector<int> notified = numbers_with(arch(), FilterRule::notify);
    ASSERT_EQ(notified.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(notified[i], expected[i]) << "position " << i + 1;
}

// The expected program, written out independently of the builder: the
// guard, each refusal of another ABI answered at once; then, after the
// search that screens the call number (checked on its own below) and its
// "allow" return, one block per row of the table: a comparison that leads
// on to the next row when the number differs, and for a row decided by its
// arguments the tests of its clauses (checked by what they answer, below);
// then the answers. Both parts use jumps within themselves only.
struct ExpectedProgram {
    std::vector<sock_filter> guard;
    std::vector<sock_filter> tail;      // the rows' comparisons, and the answers; by-argument blocks left out
    std::vector<size_t> argument_rows;  // where in tail a by-argument row's block stands
};

sock_filter jeq(unsigned char jt, unsigned char jf, uint32_t k) {
    return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, jt, jf, k};
}
sock_filter load(uint32_t offset) {
    return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, offset};
}
sock_filter ret(uint32_t value) {
    return sock_filter{BPF_RET | BPF_K, 0, 0, value};
}

// The answers every row leads to, in their order at the program's end.
const uint32_t k_answers[] = {SECCOMP_RET_ALLOW, SECCOMP_RET_USER_NOTIF, SECCOMP_RET_ERRNO | ENOSYS,
                              SECCOMP_RET_ERRNO | EPERM, SECCOMP_RET_ERRNO | 0};

ExpectedProgram expected_program(Arch arch) {
    ExpectedProgram e;
    e.guard.push_back(load(offsetof(seccomp_data, arch)));
    e.guard.push_back(jeq(1, 0, traits_of(arch).audit_arch));
    e.guard.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    e.guard.push_back(load(offsetof(seccomp_data, nr)));
    if (traits_of(arch).has_x32) {
        e.guard.push_back({BPF_JMP | BPF_JGE | BPF_K, 0, 1, 0x40000000});
        e.guard.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    }
    // The plain rows' comparisons jump to their answer; the offsets are
    // filled in by where the answers land.
    for (size_t i = 0; i < k_call_count; ++i) {
        const int nr = call_number(k_calls[i], arch);
        if (nr == k_absent) continue;
        if (k_calls[i].filter == FilterRule::by_args) e.argument_rows.push_back(e.tail.size());
        e.tail.push_back(jeq(0, 0, static_cast<uint32_t>(nr)));
    }
    for (uint32_t answer : k_answers) e.tail.push_back(ret(answer));
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
    for (size_t i = 0; i < guard; ++i) expect_same(program, i, expected.guard[i], arch());
    EXPECT_EQ(program[screen_allow].k, SECCOMP_RET_ALLOW);
    // The screen compares the number only, and leads to its "allow" return
    // or on to the first row.
    for (size_t i = guard; i < screen_allow; ++i) {
        SCOPED_TRACE("instruction " + format_instruction(program.data(), program.size(), i, arch()));
        const sock_filter& insn = program[i];
        EXPECT_TRUE(insn.code == (BPF_JMP | BPF_JEQ | BPF_K) || insn.code == (BPF_JMP | BPF_JGE | BPF_K));
        EXPECT_LE(i + 1 + insn.jt, screen_allow + 1);
        EXPECT_LE(i + 1 + insn.jf, screen_allow + 1);
    }
    // The answers close the program.
    const size_t answers = program.size() - std::size(k_answers);
    for (size_t i = 0; i < std::size(k_answers); ++i) expect_same(program, answers + i, ret(k_answers[i]), arch());
    // Row by row: a plain row's comparison jumps to its answer; a row
    // decided by its arguments goes on to the next row when the number
    // differs, and its block jumps nowhere but within itself and to the
    // answers.
    size_t at = screen_allow + 1;
    size_t argument_row = 0;
    for (size_t row = 0; row + std::size(k_answers) < expected.tail.size(); ++row) {
        ASSERT_LT(at, answers);
        sock_filter want = expected.tail[row];
        const sock_filter& got = program[at];
        const CallRow* call = find_call(arch(), want.k);
        ASSERT_NE(call, nullptr);
        SCOPED_TRACE(call->name);
        if (argument_row < expected.argument_rows.size() && expected.argument_rows[argument_row] == row) {
            ++argument_row;
            EXPECT_EQ(got.code, want.code);
            EXPECT_EQ(got.k, want.k);
            EXPECT_EQ(got.jt, 0);
            const size_t next = at + 1 + got.jf;
            for (size_t i = at + 1; i < next; ++i) {
                const sock_filter& insn = program[i];
                if (BPF_CLASS(insn.code) != BPF_JMP) continue;
                for (size_t target : {i + 1 + insn.jt, i + 1 + insn.jf}) {
                    EXPECT_TRUE(target <= next || target >= answers)
                        << format_instruction(program.data(), program.size(), i, arch());
                }
            }
            at = next;
            continue;
        }
        const uint32_t answer = call->filter == FilterRule::notify        ? SECCOMP_RET_USER_NOTIF
                                : call->filter == FilterRule::fail_enosys ? SECCOMP_RET_ERRNO | ENOSYS
                                                                          : SECCOMP_RET_ERRNO | EPERM;
        size_t answer_at = answers;
        while (program[answer_at].k != answer) ++answer_at;
        want.jt = static_cast<unsigned char>(answer_at - at - 1);
        expect_same(program, at, want, arch());
        ++at;
    }
    EXPECT_EQ(at, answers);
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
    const size_t guard = expected_program(arch()).guard.size();
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

// The notified calls end the rows as a plain chain: n comparisons, each
// jumping straight to the notify return, then allow, then notify.
TEST_P(FilterProgram, ChainStandsAsItIs) {
    std::vector<sock_filter> program = build(arch());
    const size_t n = numbers_with(arch(), FilterRule::notify).size();
    const size_t chain_at = program.size() - std::size(k_answers) - n;
    EXPECT_EQ(program[chain_at].jt, n);
    EXPECT_EQ(program[chain_at + n - 1].jt, 1);
    EXPECT_EQ(program[chain_at + n].k, SECCOMP_RET_ALLOW);
    EXPECT_EQ(program[chain_at + n + 1].k, SECCOMP_RET_USER_NOTIF);
}

uint32_t answer(const std::vector<sock_filter>& program, uint32_t arch, int nr, const uint64_t (&args)[6]) {
    seccomp_data data{};
    data.nr = nr;
    data.arch = arch;
    memcpy(data.args, args, sizeof(args));
    return run_bpf(program.data(), program.size(), data);
}

uint32_t answer(const std::vector<sock_filter>& program, uint32_t arch, int nr, uint64_t arg0 = 0) {
    return answer(program, arch, nr, {arg0, 0, 0, 0, 0, 0});
}

uint32_t seccomp_answer_of(Outcome outcome) {
    switch (outcome) {
    case Outcome::allow: return SECCOMP_RET_ALLOW;
    case Outcome::notify: return SECCOMP_RET_USER_NOTIF;
    case Outcome::fail_enosys: return SECCOMP_RET_ERRNO | ENOSYS;
    case Outcome::fail_eperm: return SECCOMP_RET_ERRNO | EPERM;
    case Outcome::pretend: return SECCOMP_RET_ERRNO | 0;
    }
    return 0;
}

// What a row's argument rules answer, read straight off the table.
uint32_t answer_by_rules(const ArgRules& rules, const uint64_t (&args)[6]) {
    return seccomp_answer_of(decide_by_args(rules, args));
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
        const CallRow* row = find_call(arch(), nr);
        if (row != nullptr && row->filter == FilterRule::by_args) {
            // Argument words the rules compare against, and others.
            for (uint64_t word : {0ull, 1ull, 4ull, 8ull, 15ull, 0x5412ull, 0x8901ull, 0x40086602ull, 0x7e020000ull,
                                  0xffffffffull, 0x12345678ffffffffull}) {
                for (int position = 0; position < 6; ++position) {
                    uint64_t args[6] = {0xffffffff00000000ull, 0, 0, 0, 0, 0};
                    args[position] = word;
                    ASSERT_EQ(answer(program, audit_arch(), nr, args), answer_by_rules(*row->args, args))
                        << row->name << " argument " << position << " " << std::hex << word;
                }
            }
            continue;
        }
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

// What the calls decided by their arguments answer, as the kernel will
// see them: the forms that act on the caller itself run, the others are
// notified or refused.
TEST_P(FilterProgram, ArgumentsDecide) {
    std::vector<sock_filter> program = build(arch());
    const uint32_t run = SECCOMP_RET_ALLOW;
    const uint32_t notify = SECCOMP_RET_USER_NOTIF;
    const uint32_t eperm = SECCOMP_RET_ERRNO | EPERM;
    const uint64_t high = 0xffffffff00000000ull;  // the kernel takes these arguments as 32 bits
    struct Case {
        const char* call;
        uint64_t args[6];
        uint32_t expected;
    };
    // clang-format off
    const Case cases[] = {
        // Threads and plain forks; every namespace flag alone.
        {"clone", {0x3d0f00}, run}, {"clone", {0x1200011}, run},
        {"clone", {0x20000 | 0x11}, eperm}, {"clone", {0x2000000 | 0x11}, eperm}, {"clone", {0x4000000 | 0x11}, eperm},
        {"clone", {0x8000000 | 0x11}, eperm}, {"clone", {0x10000000 | 0x11}, eperm},
        {"clone", {0x20000000 | 0x11}, eperm}, {"clone", {0x40000000 | 0x11}, eperm},
        // Typing into the terminal; naming a process to signal; changing a
        // file's attributes; everything else runs.
        {"ioctl", {0, 0x5412}, eperm}, {"ioctl", {0, 0x541c}, eperm}, {"ioctl", {0, high | 0x5412}, eperm},
        {"ioctl", {0, 0x8901}, notify}, {"ioctl", {0, 0x8902}, notify}, {"ioctl", {0, 0x40086602}, notify},
        {"ioctl", {0, 0x40046602}, notify}, {"ioctl", {0, 0x401c5820}, notify}, {"ioctl", {0, 0x40806685}, notify},
        {"ioctl", {0, 0x5413}, run}, {"ioctl", {0, 0x5401}, run}, {"ioctl", {0, 0x80086601}, run},
        // F_SETOWN and F_SETOWN_EX only.
        {"fcntl", {3, 8, 1234}, notify}, {"fcntl", {3, 15, 0x1000}, notify}, {"fcntl", {3, 3}, run},
        {"fcntl", {3, 4, 0x800}, run}, {"fcntl", {3, 9}, run}, {"fcntl", {3, 16}, run},
        // Raw and packet sockets; the type's flags do not hide it.
        {"socket", {17, 2, 0}, eperm}, {"socket", {17, 3, 0x300}, eperm}, {"socket", {2, 3, 1}, eperm},
        {"socket", {2, 3 | 0x80000, 1}, eperm}, {"socket", {2, 10, 0}, eperm}, {"socket", {10, 3, 58}, eperm},
        {"socket", {10, 3 | 0x800, 58}, eperm}, {"socket", {2, 1, 0}, run}, {"socket", {2, 2, 1}, run},
        {"socket", {10, 2, 58}, run}, {"socket", {1, 3, 0}, run}, {"socket", {16, 3, 0}, run}, {"socket", {10, 10, 0}, run},
        // The core size only; the caller's own other limits run.
        {"setrlimit", {4, 0x1000}, notify}, {"setrlimit", {7, 0x1000}, run},
        {"prlimit64", {0, 7, 0x1000}, run}, {"prlimit64", {0, 4, 0x1000}, notify}, {"prlimit64", {99, 7}, notify},
        // Pid 0 is the caller itself.
        {"sched_setaffinity", {0, 128, 0x1000}, run}, {"sched_setaffinity", {99, 128, 0x1000}, notify},
        {"sched_setscheduler", {high, 0, 0x1000}, run}, {"sched_setparam", {99}, notify},
        {"sched_setattr", {0}, run}, {"sched_setattr", {99}, notify}, {"get_robust_list", {0}, run},
        {"get_robust_list", {99}, notify}, {"migrate_pages", {99}, notify}, {"move_pages", {0}, run},
        // The caller, or a process group, runs; one process or a user is
        // judged.
        {"setpriority", {0, 0, 10}, run}, {"setpriority", {1, 99, 10}, run}, {"setpriority", {0, 99, 10}, notify},
        {"setpriority", {2, 0, 10}, notify}, {"ioprio_set", {1, 0}, run}, {"ioprio_set", {2, 99}, run},
        {"ioprio_set", {1, 99}, notify}, {"ioprio_set", {3, 0}, notify},
        // Only the caller itself, and never a cgroup.
        {"perf_event_open", {0x1000, 0, high | 0xffffffff, high | 0xffffffff, 0}, run},
        {"perf_event_open", {0x1000, 99, 0, 0, 0}, notify},
        {"perf_event_open", {0x1000, 0xffffffff, 0, 0, 0}, notify},
        {"perf_event_open", {0x1000, 0, 0, 0, 4}, notify},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(answer(program, audit_arch(), number_of(c.call, arch()), c.args), c.expected)
            << c.call << " " << std::hex << c.args[0] << " " << c.args[1];
    }
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

// Whether the filter may notify a row's calls.
bool may_notify(const CallRow& row) {
    if (row.filter == FilterRule::notify) return true;
    if (row.filter != FilterRule::by_args) return false;
    bool notifies = row.args->otherwise == Outcome::notify;
    for (uint8_t i = 0; i < row.args->clause_count; ++i)
        notifies = notifies || row.args->clauses[i].outcome == Outcome::notify;
    return notifies;
}

// Every number the filter suspends reaches a judge: none falls through to
// the refusal for numbers no row handles. On the build's own architecture
// dispatch runs for each; the first argument is a number no process,
// descriptor, address, key or id has, the others are zero, and there is no
// listener, so every check that reads or confirms anything refuses and
// nothing is made (a System V get of that key without IPC_CREAT finds
// nothing).
TEST_P(FilterProgram, EveryNotifiedNumberHasAHandler) {
    std::vector<sock_filter> program = build(arch());
    const Policy policy = {};
    static TreeObjects made;
    // With the reasons kept, as when a log is written: every refusal says why.
    static CallRefusals refusals;
    const Supervision supervision = {&policy, -1, {getpid(), -1, 0}, &made, &refusals, nullptr};
    for (int nr = 0; nr < k_nr_limit + 64; ++nr) {
        if (answer(program, audit_arch(), nr) != SECCOMP_RET_USER_NOTIF) continue;
        const CallRow* row = find_call(arch(), nr);
        ASSERT_NE(row, nullptr) << "call " << nr;
        EXPECT_TRUE(may_notify(*row)) << row->name;
    }
    for (size_t i = 0; i < k_call_count; ++i) {
        const CallRow& row = k_calls[i];
        const int nr = call_number(row, arch());
        if (nr == k_absent || !may_notify(row)) continue;
        EXPECT_NE(row.judge, Judge::none) << row.name;
        if (arch() != k_native_arch) continue;
        seccomp_notif notif{};
        notif.pid = static_cast<uint32_t>(getpid());
        notif.data.nr = nr;
        notif.data.arch = audit_arch();
        notif.data.args[0] = 0x5bd1e995;
        const Answer answered = dispatch_notification(supervision, notif);
        EXPECT_FALSE(answered.unhandled) << row.name;
        // A refusal says why, unless the call was found gone while judged.
        // A call the supervisor carries out fails with its own errors.
        if (answered.error != 0 && row.judge != Judge::ipc_get) {
            EXPECT_TRUE(refusals.count > 0 || refusals.gone) << row.name;
        }
    }
    // A number no row names is refused, not let through.
    seccomp_notif stray{};
    stray.data.nr = 0;
    Answer refused = dispatch_notification(supervision, stray);
    EXPECT_EQ(refused.error, EPERM);
    EXPECT_TRUE(refused.unhandled);
}

// When refusals are logged the filter suspends the calls it would refuse,
// and the supervisor refuses them alike: every other answer stays, and each
// such call gets the error the filter would have given, with a reason.
TEST_P(FilterProgram, RefusalsLeftToTheSupervisorAnswerAlike) {
    std::vector<sock_filter> in_filter = build(arch());
    std::vector<sock_filter> by_supervisor = build(arch(), true, Refusals::by_supervisor);
    const Policy policy = {};
    static TreeObjects made;
    static CallRefusals refusals;
    const Supervision supervision = {&policy, -1, {getpid(), -1, 0}, &made, &refusals, nullptr};
    std::set<int> said_enosys;
    for (int nr = -2; nr < k_nr_limit + 64; ++nr) {
        for (uint64_t word : {0ull, 1ull, 2ull, 3ull, 10ull, 17ull, 0x7e020000ull, 0xffffffffull}) {
            uint64_t args[6] = {word, word, 3, word, word, 0};
            const uint32_t filtered = answer(in_filter, audit_arch(), nr, args);
            const uint32_t left = answer(by_supervisor, audit_arch(), nr, args);
            // Errno 0 is no refusal but a call answered without running.
            if ((filtered & SECCOMP_RET_ACTION_FULL) != SECCOMP_RET_ERRNO || (filtered & SECCOMP_RET_DATA) == 0) {
                ASSERT_EQ(left, filtered) << "call " << nr;
                continue;
            }
            ASSERT_EQ(left, SECCOMP_RET_USER_NOTIF) << "call " << nr;
            if (arch() != k_native_arch) continue;
            seccomp_notif notif{};
            notif.data.nr = nr;
            memcpy(notif.data.args, args, sizeof(args));
            const Answer answered = dispatch_notification(supervision, notif);
            EXPECT_EQ(static_cast<uint32_t>(answered.error), filtered & SECCOMP_RET_DATA) << "call " << nr;
            // Programs fall back from a call refused with ENOSYS at every
            // use: it is said once a run.
            const bool first = answered.error != ENOSYS || said_enosys.insert(nr).second;
            ASSERT_EQ(refusals.count, first ? 1 : 0) << "call " << nr;
            if (first) {
                EXPECT_STREQ(refusals.items[0].rule, "refused_call") << "call " << nr;
            }
        }
    }
}

const Build k_builds[] = {{"x86_64", false}, {"aarch64", true}};

INSTANTIATE_TEST_SUITE_P(Builds, FilterProgram, ::testing::ValuesIn(k_builds),
                         [](const auto& build_info) { return std::string(build_info.param.name); });

TEST(FilterProgram, TableLengthsOfBothBuilds) {
    EXPECT_EQ(numbers_with(Arch::x86_64, FilterRule::notify).size(), 45u + 15u + 39u);
    EXPECT_EQ(numbers_with(Arch::aarch64, FilterRule::notify).size(), 29u + 12u + 39u);
}

TEST(FilterProgram, RefusesABufferTooSmall) {
    std::vector<sock_filter> program(k_filter_capacity);
    size_t length = build_filter(Arch::x86_64, true, Refusals::in_filter, program.data(), program.size());
    ASSERT_GT(length, 0u);
    EXPECT_EQ(build_filter(Arch::x86_64, true, Refusals::in_filter, program.data(), length - 1), 0u);
    EXPECT_EQ(build_filter(Arch::x86_64, true, Refusals::in_filter, program.data(), length), length);
}

TEST(FilterProgram, NeighboursOfTrappedCallsRunUnchecked) {
    // ftruncate (it needs a descriptor open for writing), fgetxattr,
    // flistxattr and fstatfs (x86-64) sit beside trapped calls.
    std::vector<sock_filter> program = build(Arch::x86_64);
    for (int nr : {77, 193, 196, 138}) {
        EXPECT_EQ(answer(program, traits_of(Arch::x86_64).audit_arch, nr), SECCOMP_RET_ALLOW) << nr;
    }
}

}  // namespace
