#include "rules/path_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "unit/policy_fixture.h"
#include "unit/process_family.h"

namespace {

// The rules for a path of the tree whose root is child, judged as written
// (canonical 0) or resolved (1).
bool allowed(const Policy* policy, const char* path, Access access, pid_t child, pid_t supervisor, int canonical) {
    return is_single_path_allowed(policy, path, access, SandboxTree{child, -1, supervisor},
                                  canonical ? PathForm::resolved : PathForm::as_written);
}

TEST(IsSubpath, ComponentBoundaries) {
    struct Case {
        const char* path;
        const char* prefix;
        int expected;
    };
    const Case cases[] = {
        // clang-format off
        {"/home/u", "/home/u", 1},  {"/home/u/x", "/home/u", 1}, {"/home/user", "/home/u", 0},
        {"/home", "/home/u", 0},    {"/anything", "/", 1},       {"relative", "/", 0},
        {"/a/", "/a/", 1},          {"/a//x", "/a/", 1},         {"/a/x", "/a/", 0},
        {"/a", "/a/", 0},           {"/a", "", 0},               {"/a", nullptr, 0},
        // clang-format on
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_subpath(c.path, c.prefix), c.expected) << c.path << " under " << (c.prefix ? c.prefix : "null");
    }
}

TEST(ListHasSubpath, SkipsEmptyEntries) {
    Policy p = decode_records({{"E", ""}, {"E", "/usr"}});
    EXPECT_EQ(list_has_subpath(&p.visible_tree, "/usr/bin"), 1);
    EXPECT_EQ(list_has_subpath(&p.visible_tree, "/etc"), 0);
    Policy root = decode_records({{"E", "/"}});
    EXPECT_EQ(list_has_subpath(&root.visible_tree, "/etc"), 1);
}

// The sample policy of the rules' worked examples. The sandboxed child, its
// descendant and the supervisor are real processes: the child and its
// descendant are a chain forked by this test, which stands for the
// supervisor; 77 is replaced by a process outside that chain.
class WorkedExamples : public ::testing::Test {
protected:
    WorkedExamples()
        : policy_(decode_records({
              // clang-format off
              {"E", "/usr"}, {"E", "/etc"}, {"E", "/dev"}, {"E", "/home/u"}, {"E", "/mnt/c/tools"},
              {"M", "/home"}, {"M", "/secret"}, {"D", "/home/u/.ssh"}, {"D", "/proc"}, {"F", "/etc/shadow"},
              {"S", "/home/u/.netrc"}, {"W", "/home/u/work"}, {"W", "/tmp"}, {"P", "\\.log$"},
              {"X", "/home/u/work/keep"}, {"A", "/home/u/work/db"}, {"G", "/home/u/work/repo"},
              // clang-format on
          })),
          chain_(2) {}

    std::string with_pids(std::string path) const {
        replace(path, "/proc/310/task/311", "/proc/" + std::to_string(chain_.at(1)) + "/task/311");
        replace(path, "/proc/310/", "/proc/" + std::to_string(chain_.at(1)) + "/");
        replace(path, "/proc/77/", "/proc/" + std::to_string(getppid()) + "/");
        return path;
    }

    int judge(const std::string& path, Access access, int canonical) const {
        return allowed(&policy_, with_pids(path).c_str(), access, chain_.at(0), getpid(), canonical);
    }

    static void replace(std::string& text, const std::string& from, const std::string& to) {
        if (text.compare(0, from.size(), from) == 0) text = to + text.substr(from.size());
    }

    Policy policy_;
    ProcessChain chain_;
};

TEST_F(WorkedExamples, Table) {
    ASSERT_EQ(chain_.pids().size(), 2u);
    enum { LEX = 0, CAN = 1 };
    struct Row {
        const char* path;
        Access access;
        int stage;
        int expected;
    };
    const Row rows[] = {
        {"/proc/310/status", ACCESS_READ, CAN, 1},
        {"/proc/310/fd/3", ACCESS_WRITE, CAN, 1},
        {"/proc/310/mem", ACCESS_WRITE, CAN, 0},
        {"/proc/310/task/311/fd/3", ACCESS_WRITE, CAN, 0},
        {"/proc/77/status", ACCESS_STAT, CAN, 0},
        {"/proc/cpuinfo", ACCESS_READ, CAN, 0},
        {"/etc/passwd", ACCESS_READ, CAN, 1},
        {"/etc/shadow", ACCESS_READ, LEX, 0},
        {"/var/lib/x", ACCESS_READ, LEX, 1},
        {"/var/lib/x", ACCESS_READ, CAN, 0},
        {"/home", ACCESS_STAT, CAN, 1},
        {"/home", ACCESS_READ, CAN, 0},
        {"/home/u/.ssh/id", ACCESS_READ, LEX, 0},
        {"/home/u/.netrc", ACCESS_STAT, CAN, 0},
        {"/home/u/work/a.txt", ACCESS_WRITE, CAN, 1},
        {"/home/u/notes.log", ACCESS_WRITE, CAN, 1},
        {"/home/u/notes.txt", ACCESS_WRITE, LEX, 1},
        {"/home/u/notes.txt", ACCESS_WRITE, CAN, 0},
        {"/tmp/x", ACCESS_WRITE, CAN, 0},
        {"/home/u/work/.git/config", ACCESS_WRITE, CAN, 0},
        {"/home/u/work/.git/config", ACCESS_READ, CAN, 1},
        {"/home/u/work/repo/.GIT/index", ACCESS_WRITE, CAN, 1},
        {"/home/u/work/.gitignore", ACCESS_WRITE, CAN, 1},
        {"/home/u/work/keep/x", ACCESS_WRITE, LEX, 0},
        {"/home/u/work/db", ACCESS_DELETE, CAN, 0},
        {"/home/u/work/db", ACCESS_WRITE, CAN, 1},
        {"/home/u/work/db/x", ACCESS_DELETE, CAN, 1},
        {"/dev/null", ACCESS_WRITE, CAN, 1},
        {"/mnt/c/tools/a.exe", ACCESS_EXEC, LEX, 0},
        {"/mnt/c/tools/run.Cmd", ACCESS_EXEC, CAN, 0},
        {"/mnt/c/tools/a.sh", ACCESS_EXEC, CAN, 1},
        {"/mnt/d/x", ACCESS_READ, LEX, 1},
        {"/mnt/d/x", ACCESS_READ, CAN, 0},
        {"/init", ACCESS_EXEC, LEX, 0},
        {"/init", ACCESS_READ, CAN, 0},
        {"/run/WSL/x", ACCESS_EXEC, LEX, 0},
        {"/usr/bin/ls", ACCESS_EXEC, CAN, 1},
        {"/usr/bin/ls", ACCESS_WRITE, LEX, 1},
        {"/usr/bin/ls", ACCESS_WRITE, CAN, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(judge(row.path, row.access, row.stage), row.expected)
            << row.path << " access " << row.access << (row.stage ? " canonical" : " lexical");
    }
}

TEST_F(WorkedExamples, ProcessPaths) {
    struct Row {
        const char* path;
        Access access;
        int expected;
    };
    const Row rows[] = {
        {"/proc/310/fd", ACCESS_WRITE, 0},
        {"/proc/310/fd/", ACCESS_WRITE, 0},
        {"/proc/310/fd/12", ACCESS_DELETE, 1},
        {"/proc/310/fd/3/x", ACCESS_WRITE, 0},  // below a descriptor: not the descriptor
        {"/proc/310/fd/3x", ACCESS_WRITE, 0},
        {"/proc/310/fd/3/x", ACCESS_READ, 1},
        {"/proc/310/mem", ACCESS_READ, 1},
        {"/proc/77/fd/3", ACCESS_WRITE, 0},
    };
    for (const Row& row : rows) {
        for (int canonical : {0, 1}) {
            EXPECT_EQ(judge(row.path, row.access, canonical), row.expected) << row.path << " access " << row.access;
        }
    }
    // Leading zeros name the same process.
    std::string padded = "/proc/000" + std::to_string(chain_.at(1)) + "/status";
    EXPECT_EQ(allowed(&policy_, padded.c_str(), ACCESS_READ, chain_.at(0), getpid(), 1), 1);
    // A digit run too long for a pid is never a member.
    EXPECT_EQ(judge("/proc/99999999999999999999/status", ACCESS_READ, 1), 0);
    // The supervisor's own entries are outside the tree.
    std::string own = "/proc/" + std::to_string(getpid()) + "/status";
    EXPECT_EQ(allowed(&policy_, own.c_str(), ACCESS_STAT, chain_.at(0), getpid(), 0), 0);
}

TEST(PathRules, EmptyPolicy) {
    Policy p = decode_records({});
    for (Access access : {ACCESS_STAT, ACCESS_READ, ACCESS_WRITE, ACCESS_DELETE, ACCESS_EXEC}) {
        EXPECT_EQ(allowed(&p, "/usr/bin/ls", access, 1000000, 1000001, 1), 0);
        EXPECT_EQ(allowed(&p, "/dev/null", access, 1000000, 1000001, 1), 0);
        EXPECT_EQ(allowed(&p, "/usr/bin/ls", access, 1000000, 1000001, 0), 1);
    }
    EXPECT_EQ(allowed(&p, "/mnt/c/a.exe", ACCESS_EXEC, 1000000, 1000001, 0), 0);
}

TEST(PathRules, EmptyHiddenRootHidesNothing) {
    Policy p = decode_records({{"R", ""}, {"W", "/w"}});
    EXPECT_EQ(allowed(&p, "/etc/passwd", ACCESS_READ, 0, 0, 1), 1);
    EXPECT_EQ(allowed(&p, "/etc/passwd", ACCESS_WRITE, 0, 0, 1), 0);
    EXPECT_EQ(allowed(&p, "/w/x", ACCESS_WRITE, 0, 0, 1), 1);
    EXPECT_EQ(allowed(&p, "/mnt/c/x", ACCESS_READ, 0, 0, 1), 0);
}

TEST(PathRules, RootEntries) {
    Policy deny_all = decode_records({{"E", "/"}, {"D", "/"}});
    EXPECT_EQ(allowed(&deny_all, "/etc", ACCESS_STAT, 0, 0, 0), 0);
    Policy see_all = decode_records({{"E", "/"}});
    EXPECT_EQ(allowed(&see_all, "/var/x", ACCESS_READ, 0, 0, 1), 1);
}

TEST(PathRules, StatAllowIsExactAndNeverLiftsDenials) {
    Policy p = decode_records({{"M", "/home"}, {"M", "/d/x"}, {"D", "/d"}, {"F", "/f"}, {"M", "/f"}});
    EXPECT_EQ(allowed(&p, "/home", ACCESS_STAT, 0, 0, 1), 1);
    EXPECT_EQ(allowed(&p, "/home/x", ACCESS_STAT, 0, 0, 1), 0);
    EXPECT_EQ(allowed(&p, "/home", ACCESS_READ, 0, 0, 1), 0);
    EXPECT_EQ(allowed(&p, "/d/x", ACCESS_STAT, 0, 0, 1), 0);
    EXPECT_EQ(allowed(&p, "/f", ACCESS_STAT, 0, 0, 1), 0);
}

TEST(PathRules, GitComponents) {
    Policy p = decode_records({{"E", "/"}, {"W", "/"}, {"G", "/r"}});
    struct Case {
        const char* path;
        int expected;
    };
    const Case cases[] = {
        // clang-format off
        {"/x/.git", 0},      {"/x/.Git/y", 0}, {"/x/.GIT/y", 0},     {"/x/.gitignore", 1},
        {"/x/y.git", 1},     {"/x/..git", 1},  {"/r/.git/config", 1}, {"/.git", 0},
        // clang-format on
    };
    for (const Case& c : cases) {
        for (Access access : {ACCESS_WRITE, ACCESS_DELETE}) {
            EXPECT_EQ(allowed(&p, c.path, access, 0, 0, 1), c.expected) << c.path;
        }
        EXPECT_EQ(allowed(&p, c.path, ACCESS_READ, 0, 0, 1), 1) << c.path;
    }
    // Under git_write_allow a path still needs a write allowance.
    Policy no_write = decode_records({{"E", "/"}, {"G", "/r"}});
    EXPECT_EQ(allowed(&no_write, "/r/.git/config", ACCESS_WRITE, 0, 0, 1), 0);
}

TEST(PathRules, WritePatternsAreUnanchoredSearches) {
    Policy p = decode_records({{"E", "/"}, {"P", "tmp"}, {"P", "^/only$"}});
    EXPECT_EQ(allowed(&p, "/home/u/tmpfile", ACCESS_WRITE, 0, 0, 1), 1);
    EXPECT_EQ(allowed(&p, "/only", ACCESS_DELETE, 0, 0, 1), 1);
    EXPECT_EQ(allowed(&p, "/only/x", ACCESS_WRITE, 0, 0, 1), 0);
}

TEST(PathRules, InteropAreas) {
    Policy p = decode_records({{"E", "/"}, {"E", "/run/WSL"}, {"M", "/mnt/e"}, {"W", "/mnt/w"}});
    struct Case {
        const char* path;
        Access access;
        int canonical;
        int expected;
    };
    const Case cases[] = {
        // clang-format off
        {"/mnt/c/a.EXE", ACCESS_EXEC, 1, 0},    {"/mnt/c/a.exe.txt", ACCESS_EXEC, 1, 1},
        {"/usr/bin/a.exe", ACCESS_EXEC, 1, 1},  {"/run/WSL/tool", ACCESS_EXEC, 1, 0},
        {"/run/WSL/tool", ACCESS_READ, 1, 1},   {"/mnt/e", ACCESS_STAT, 1, 1},
        {"/mnt/e", ACCESS_READ, 1, 1},          {"/mnt/w/x", ACCESS_WRITE, 1, 1},
        {"/mnt/c/a.ps1", ACCESS_EXEC, 0, 0},    {"/mnt/c/a.Bat", ACCESS_EXEC, 0, 0},
        {"/mnt/c/a.com", ACCESS_EXEC, 0, 0},    {"/init", ACCESS_STAT, 0, 1},
        // clang-format on
    };
    for (const Case& c : cases) {
        EXPECT_EQ(allowed(&p, c.path, c.access, 0, 0, c.canonical), c.expected) << c.path;
    }
    // "/" in visible_tree covers the interop areas too; without it they are
    // hidden unless named.
    Policy named_only = decode_records({{"R", ""}});
    EXPECT_EQ(allowed(&named_only, "/mnt/e", ACCESS_STAT, 0, 0, 1), 0);
    EXPECT_EQ(allowed(&named_only, "/init", ACCESS_READ, 0, 0, 1), 0);
}

// Removing or renaming a directory would carry protected entries below it
// out of their protection.
TEST(PathRules, DeletingAnAncestorOfAProtectedEntry) {
    Policy p = decode_records({{"E", "/"},
                               {"W", "/w"},
                               {"D", "/w/a/secret"},
                               {"F", "/w/b/file"},
                               {"S", "/w/c/single"},
                               {"X", "/w/d/keep"},
                               {"A", "/w/e/db"}});
    struct Case {
        const char* path;
        int expected;
    };
    const Case cases[] = {
        // clang-format off
        {"/w/a", 0}, {"/w/b", 0}, {"/w/c", 0}, {"/w/d", 0}, {"/w/e", 0}, {"/w", 0},
        {"/w/f", 1}, {"/w/ab", 1}, {"/w/e/db2", 1},
        // clang-format on
    };
    for (const Case& c : cases) {
        for (int canonical : {0, 1}) {
            EXPECT_EQ(allowed(&p, c.path, ACCESS_DELETE, 0, 0, canonical), c.expected) << c.path;
        }
        // Writing below or at the ancestor is governed by the other rules.
        if (c.expected == 0 && std::string(c.path) != "/w") {
            EXPECT_EQ(allowed(&p, c.path, ACCESS_WRITE, 0, 0, 1), 1) << c.path;
        }
    }
}

}  // namespace
