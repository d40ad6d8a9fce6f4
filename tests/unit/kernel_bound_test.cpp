#include "rules/kernel_bound.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy_fixture.h"

TEST(KernelBound, PatternsAreBoundByTheirFixedDirectory) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"^/home/u/proj/build/.*\\.o$", "/home/u/proj/build"},
        {"^/tmp/x$", "/tmp"},
        // A quantifier makes the character before it optional.
        {"^/tmp/ab*/", "/tmp"},
        {"^/var/cache?/y", "/var"},
        {"^/home/[^/]+/\\.cache/", "/home"},
        {"^/(home/u|root)/\\.cache/", "/"},
        {"\\.o$", "/"},
        {"/tmp/x", "/"},
        {"^/x", "/"},
    };
    for (const auto& [pattern, want] : rows) {
        char directory[k_path_size];
        name_pattern_directory(pattern.c_str(), directory);
        EXPECT_EQ(directory, want) << pattern;
    }
}

// The bound is never narrower than the policy: every path the policy lets
// a class through, the bound does too; what it adds is what the supervisor
// still refuses inside the trees.
TEST(KernelBound, AtLeastAsWideAsThePolicy) {
    Policy policy = decode_records({{"R", "/home/u"},
                                    {"E", "/home/u/proj"},
                                    {"W", "/home/u/proj/out"},
                                    {"D", "/home/u/proj/secret"},
                                    {"P", "^/home/u/cache/.*\\.o$"}});
    BoundEntry entries[k_bound_entries_max];
    static char dirs[4][k_path_size];
    const long count = build_bound(policy, entries, k_bound_entries_max, dirs, 4);
    ASSERT_GT(count, 0);
    struct Row {
        const char* path;
        Access access;
        bool within;
    };
    const std::vector<Row> rows = {
        {"/usr/bin/ls", ACCESS_EXEC, true},          // outside the hidden root
        {"/home/u/.ssh/id", ACCESS_READ, false},     // hidden
        {"/home/u/proj/a.c", ACCESS_READ, true},     // visible
        {"/home/u/proj/secret", ACCESS_READ, true},  // denied inside a visible tree: the supervisor's
        {"/home/u/proj/a.c", ACCESS_WRITE, false},   // visible, not writable
        {"/home/u/proj/out/x", ACCESS_WRITE, true}, {"/home/u/proj/out/x", ACCESS_DELETE, true},
        {"/home/u/cache/a.o", ACCESS_WRITE, true},                                           // the pattern's directory
        {"/home/u/cache/a.c", ACCESS_WRITE, true},                                           // wider than the pattern
        {"/etc/passwd", ACCESS_WRITE, false},       {"/home/u/.ssh/id", ACCESS_STAT, true},  // metadata is never bound
        {"/proc/1/status", ACCESS_READ, true},      {"/dev/null", ACCESS_WRITE, true},
        {"/dev/pts/3", ACCESS_WRITE, true},         {"/home/u/bin/tool", ACCESS_EXEC, false},  // a hidden program
    };
    for (const Row& row : rows) {
        EXPECT_EQ(is_within_bound(entries, static_cast<size_t>(count), row.path, row.access), row.within)
            << row.path << " " << row.access;
    }
    release_policy(&policy);
}
