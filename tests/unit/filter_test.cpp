#include "launcher/filter.h"

#include <gtest/gtest.h>
#include <linux/seccomp.h>

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
    const int* table;
    size_t size;
    bool aarch64;
};

class FilterProgram : public ::testing::TestWithParam<Build> {};

TEST_P(FilterProgram, TableMatchesTheTrappedCalls) {
    const Build& build = GetParam();
    std::vector<int> expected = expected_table(build.aarch64);
    ASSERT_EQ(build.size, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(build.table[i], expected[i]) << "position " << i + 1;
}

TEST_P(FilterProgram, EveryInstruction) {
    const Build& build = GetParam();
    const size_t n = build.size;
    sock_filter program[k_filter_capacity];
    ASSERT_EQ(build_filter(build.table, n, program, k_filter_capacity), n + 3);

    EXPECT_EQ(program[0].code, 0x20);
    EXPECT_EQ(program[0].jt, 0);
    EXPECT_EQ(program[0].jf, 0);
    EXPECT_EQ(program[0].k, 0u);
    for (size_t j = 1; j <= n; ++j) {
        SCOPED_TRACE("instruction " + std::to_string(j));
        EXPECT_EQ(program[j].code, 0x15);
        EXPECT_EQ(program[j].jt, n + 1 - j);
        EXPECT_EQ(program[j].jf, 0);
        EXPECT_EQ(program[j].k, static_cast<unsigned>(build.table[j - 1]));
    }
    EXPECT_EQ(program[n + 1].code, 0x06);
    EXPECT_EQ(program[n + 1].k, 0x7fff0000u);
    EXPECT_EQ(program[n + 2].code, 0x06);
    EXPECT_EQ(program[n + 2].k, 0x7fc00000u);
    EXPECT_EQ(program[1].jt, n);  // first comparison: straight to notify
    EXPECT_EQ(program[n].jt, 1);  // last comparison: one forward
}

TEST_P(FilterProgram, AnswersByCallNumberOnly) {
    const Build& build = GetParam();
    sock_filter program[k_filter_capacity];
    size_t length = build_filter(build.table, build.size, program, k_filter_capacity);
    ASSERT_GT(length, 0u);
    std::set<int> trapped(build.table, build.table + build.size);
    // Every number up to beyond the newest call, under any arch value: the
    // program never looks at anything but the number.
    for (int nr = -2; nr < 600; ++nr) {
        for (uint32_t arch : {0u, 0xc000003eu, 0x40000003u}) {
            seccomp_data data{};
            data.nr = nr;
            data.arch = arch;
            data.args[0] = 0xffffffffffffffffull;
            uint32_t expected = trapped.count(nr) ? SECCOMP_RET_USER_NOTIF : SECCOMP_RET_ALLOW;
            ASSERT_EQ(run_bpf(program, length, data), expected) << "call " << nr;
        }
    }
}

const Build k_builds[] = {
    {"x86_64", k_x86_64_syscalls.data(), k_x86_64_syscalls.size(), false},
    {"aarch64", k_aarch64_syscalls.data(), k_aarch64_syscalls.size(), true},
};

INSTANTIATE_TEST_SUITE_P(Builds, FilterProgram, ::testing::ValuesIn(k_builds),
                         [](const auto& build_info) { return std::string(build_info.param.name); });

TEST(FilterProgram, LengthsOfBothBuilds) {
    EXPECT_EQ(k_x86_64_syscalls.size(), 45u);
    EXPECT_EQ(k_aarch64_syscalls.size(), 29u);
    sock_filter program[k_filter_capacity];
    EXPECT_EQ(build_filter(k_x86_64_syscalls.data(), 45, program, k_filter_capacity), 48u);
    EXPECT_EQ(build_filter(k_aarch64_syscalls.data(), 29, program, k_filter_capacity), 32u);
}

TEST(FilterProgram, RefusesABufferTooSmall) {
    sock_filter program[48];
    EXPECT_EQ(build_filter(k_x86_64_syscalls.data(), 45, program, 47), 0u);
    EXPECT_EQ(build_filter(k_x86_64_syscalls.data(), 45, program, 48), 48u);
}

TEST(FilterProgram, NeighboursOfTrappedCallsRunUnchecked) {
    // fchmod, ftruncate and fchown (x86-64 numbers) sit beside trapped calls.
    sock_filter program[k_filter_capacity];
    size_t length = build_filter(k_x86_64_syscalls.data(), 45, program, k_filter_capacity);
    for (int nr : {91, 77, 93}) {
        seccomp_data data{};
        data.nr = nr;
        EXPECT_EQ(run_bpf(program, length, data), SECCOMP_RET_ALLOW) << nr;
    }
}

TEST(ArchHeader, NativeNumbersAreDistinctSwitchLabels) {
    std::set<int> seen;
    for (int id = 0; id < CALL_COUNT; ++id) EXPECT_TRUE(seen.insert(native_nr(static_cast<CallId>(id))).second);
    EXPECT_EQ(static_cast<size_t>(k_native_call_count), syscalls.size());
}

}  // namespace
