#include "path/canonicalize.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "path/link_free.h"
#include "path/normalize.h"
#include "rules/staged_check.h"
#include "support/run.h"
#include "unit/live_thread.h"
#include "unit/policy_fixture.h"

namespace {

const char* k_refused = "<refused>";

LastLink last_link(int follow) {
    return follow ? LastLink::followed : LastLink::not_followed;
}

std::string canonical(const std::string& path, int follow, int tracee = getpid()) {
    char out[k_path_size];
    if (!canonicalize_path(path.c_str(), last_link(follow), out, tracee)) return k_refused;
    return out;
}

bool free_of_links(const std::string& path, int follow) {
    return is_free_of_links(path.c_str(), last_link(follow));
}

std::string real(const std::string& path) {
    char out[PATH_MAX];
    return realpath(path.c_str(), out) ? out : "<missing>";
}

class Canonicalize : public ::testing::Test {
protected:
    Canonicalize() : root_(real(scratch_.path())) {
        mkdir(at("r").c_str(), 0755);
        mkdir(at("r/dir").c_str(), 0755);
        mkdir(at("w").c_str(), 0755);
        mkdir(at("a").c_str(), 0755);
        mkdir(at("a/b").c_str(), 0755);
        e2e::write_file(at("r/dir/file"), "x");
        e2e::write_file(at("r/t"), "x");
    }

    std::string at(const std::string& rel) const { return root_ + "/" + rel; }
    void link(const std::string& target, const std::string& rel) const {
        ASSERT_EQ(symlink(target.c_str(), at(rel).c_str()), 0) << rel;
    }

    e2e::ScratchDir scratch_;
    std::string root_;
};

TEST_F(Canonicalize, OrdinaryPathsAgreeWithRealpath) {
    link("../r/dir", "w/rel");
    link(at("r/dir/file"), "w/abs");
    link("../r", "w/up");
    for (const char* rel : {"r", "r/dir/file", "w/rel", "w/rel/file", "w/abs", "w/up/dir", "w/up/t"}) {
        EXPECT_EQ(canonical(at(rel), 1), real(at(rel))) << rel;
    }
    EXPECT_EQ(canonical("/", 0), "/");
    EXPECT_EQ(canonical("/", 1), "/");
    EXPECT_EQ(canonical(at("w/rel/../t"), 1), at("r/t"));  // ".." after a link
}

TEST_F(Canonicalize, LastComponent) {
    link(at("r/dir"), "w/l");
    link("/etc/sandbox-test-missing", "w/dangling");
    link("../c", "a/b/rel");
    struct Case {
        std::string path;
        int follow;
        std::string expected;
    };
    const Case cases[] = {
        {at("w/l"), 0, at("w/l")},
        {at("w/l"), 1, at("r/dir")},
        {at("w/dangling"), 0, at("w/dangling")},
        {at("w/dangling"), 1, "/etc/sandbox-test-missing"},
        {at("a/b/rel"), 1, at("a/c")},
        {at("r/new.txt"), 1, at("r/new.txt")},
        {at("r/missing/deeper/x"), 1, at("r/missing/deeper/x")},
        {at("w/l/new"), 0, at("r/dir/new")},
    };
    for (const Case& c : cases) EXPECT_EQ(canonical(c.path, c.follow), c.expected) << c.path << " " << c.follow;
}

// The kernel resolves a link before it applies a following "..", in the
// path and inside link targets alike.
TEST_F(Canonicalize, DotDotAfterLinks) {
    link("../r/dir", "w/l");
    link("l/../../a", "w/twice");
    link(at("w/l/.."), "w/through");
    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {at("w/l/../t"), at("r/t")},    {at("w/l/../dir/file"), at("r/dir/file")},
        {at("w/through/t"), at("r/t")}, {at("w/./l/./../t"), at("r/t")},
        {at("w//l//..//t"), at("r/t")},
    };
    for (const Case& c : cases) {
        for (int follow : {0, 1}) EXPECT_EQ(canonical(c.path, follow), c.expected) << c.path;
    }
    EXPECT_EQ(canonical(at("w/twice"), 1), at("a"));
    EXPECT_EQ(canonical(at("w/twice"), 0), at("w/twice"));
}

TEST_F(Canonicalize, ChainsAndCycles) {
    link(at("r/dir/file"), "w/c0");
    for (int i = 1; i <= k_max_links; ++i) link("c" + std::to_string(i - 1), "w/c" + std::to_string(i));
    // The kernel follows 40 links in one lookup; one more fails.
    EXPECT_EQ(canonical(at("w/c39"), 1), at("r/dir/file"));
    EXPECT_EQ(canonical(at("w/c40"), 1), k_refused);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(canonical(at("w/c40"), 0), at("w/c40"));

    link("l2", "w/l1");
    link("l1", "w/l2");
    EXPECT_EQ(canonical(at("w/l1"), 1), k_refused);
    EXPECT_EQ(canonical(at("w/l1"), 0), at("w/l1"));
    EXPECT_EQ(canonical(at("w/l1/x"), 0), k_refused);
}

// Links that multiply the work of a resolution: every level names the next
// one many times. The walk gives up within its budget instead of
// exploring every branch.
TEST_F(Canonicalize, MazeEndsInARefusal) {
    mkdir(at("m").c_str(), 0755);
    std::string target;
    for (int level = 0; level < 30; ++level) {
        std::string next = "m" + std::to_string(level + 1);
        target.clear();
        for (int i = 0; i < 60; ++i) target += next + "/../";
        target += next;
        link(target, "m/m" + std::to_string(level));
    }
    link("m0", "m/m30");
    EXPECT_EQ(canonical(at("m/m0"), 1), k_refused);
    EXPECT_EQ(canonical(at("m/m0/x"), 0), k_refused);

    // A path that is long in components once links are expanded.
    std::string wide;
    for (int i = 0; i < 2000; ++i) wide += "./";
    link(wide + ".", "w/wide");
    std::string path = at("w");
    for (int i = 0; i < 3; ++i) path += "/wide";
    EXPECT_EQ(canonical(path, 1), k_refused);
    EXPECT_EQ(canonical(at("w/wide"), 1), at("w"));
}

TEST_F(Canonicalize, DeviceNamesStayAsWritten) {
    for (int follow : {0, 1}) {
        EXPECT_EQ(canonical("/dev/null", follow), "/dev/null");
        EXPECT_EQ(canonical("/dev/fd", follow), "/dev/fd");
        EXPECT_EQ(canonical("/dev/fd/3", follow), "/dev/fd/3");
        EXPECT_EQ(canonical("/dev/fd/abc", follow), "/dev/fd/abc");
    }
    EXPECT_EQ(canonical("/dev/nullx", 1), "/dev/nullx");
    // The standard stream names are descriptors by another name.
    EXPECT_EQ(canonical("/dev/stdin", 0), "/dev/fd/0");
    EXPECT_EQ(canonical("/dev/stdout", 0), "/dev/fd/1");
    EXPECT_EQ(canonical("/dev/stderr", 0), "/dev/fd/2");
    EXPECT_EQ(canonical("/dev/stdout", 1), "/proc/" + std::to_string(getpid()) + "/fd/1");
    EXPECT_EQ(canonical("/dev/stdoutx", 0), "/dev/stdoutx");
}

// The tracee is a thread of this process, so its entries are ours.
TEST_F(Canonicalize, LinksThatNameTheTraceeItself) {
    LiveThread tracee;
    const std::string self = "/proc/" + std::to_string(getpid());
    const std::string thread = self + "/task/" + std::to_string(tracee.tid());

    int dir_fd = open(at("r/dir").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir_fd, 0);
    const std::string fd = std::to_string(dir_fd);
    link("/proc/self", "w/me");
    link("/proc/thread-self", "w/thread");
    link("/dev/fd/" + fd, "w/devfd");
    link("/dev/stdin", "w/stdin");
    link("/proc/self/cwd", "w/cwd");
    link("/dev/fd/" + fd + "/file", "w/through-fd");

    struct Case {
        std::string path;
        int follow;
        std::string expected;
    };
    const Case cases[] = {
        {at("w/me"), 1, self},
        {at("w/me/status"), 1, self + "/status"},
        {at("w/thread"), 1, thread},
        {at("w/devfd"), 1, self + "/fd/" + fd},
        {at("w/stdin"), 1, self + "/fd/0"},
        {at("w/cwd"), 1, real(".")},
        {at("w/through-fd"), 1, at("r/dir/file")},
        {"/dev/stdin", 1, self + "/fd/0"},
        {"/dev/fd/" + fd + "/file", 1, at("r/dir/file")},
        {"/dev/fd/" + fd + "/../t", 0, at("r/t")},
        {"/proc/self/fd/" + fd + "/file", 0, at("r/dir/file")},
        {"/proc/./self/status", 0, self + "/status"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(canonical(c.path, c.follow, tracee.tid()), c.expected) << c.path;
    }
    close(dir_fd);
}

TEST_F(Canonicalize, ProcessEntries) {
    LiveThread tracee;
    int dir_fd = open(at("r/dir").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir_fd, 0);
    const std::string p = "/proc/" + std::to_string(getpid());
    const std::string task = p + "/task/" + std::to_string(tracee.tid());
    const std::string fd = std::to_string(dir_fd);
    struct Case {
        std::string path;
        int follow;
        std::string expected;
    };
    const Case cases[] = {
        {p + "/root", 1, "/"},
        {p + "/root/etc/passwd", 0, "/etc/passwd"},
        {p + "/cwd", 0, p + "/cwd"},
        {p + "/cwd", 1, real(".")},
        {p + "/fd/" + fd, 1, p + "/fd/" + fd},
        {p + "/fd/" + fd, 0, p + "/fd/" + fd},
        {p + "/fd/" + fd + "/file", 1, at("r/dir/file")},
        {p + "/fd/abc", 1, p + "/fd/abc"},
        {p + "/fd", 1, p + "/fd"},
        {p + "/exe", 1, p + "/exe"},
        {p + "/status", 1, p + "/status"},
        {task + "/cwd", 1, real(".")},
        {task + "/root/etc", 1, real("/etc")},
        {task + "/fd/" + fd, 1, task + "/fd/" + fd},
        {task + "/fd/" + fd + "/file", 1, at("r/dir/file")},
        {task + "/status", 1, task + "/status"},
        {"/proc/meminfo", 1, "/proc/meminfo"},
        {"/proc/sys/kernel/pid_max", 1, "/proc/sys/kernel/pid_max"},
        {"/proc", 1, "/proc"},
    };
    for (const Case& c : cases) EXPECT_EQ(canonical(c.path, c.follow), c.expected) << c.path << " " << c.follow;
    close(dir_fd);
}

TEST_F(Canonicalize, ResultsThatDoNotFitAreRefused) {
    // Each component fits, the path as written fits, the resolved one not.
    std::string deep = std::string(200, 'd');
    std::string target = root_;
    while (target.size() < 4000) target += "/" + deep;
    link(target, "w/long");
    EXPECT_EQ(canonical(at("w/long/") + std::string(200, 'x'), 1), k_refused);
}

}  // namespace

namespace {

// The staged judgement takes shortcuts: a path the kernel resolves without
// meeting a link is its own normalized text, and the followed form comes
// from the canonical one with a single readlink where it can. Each must
// reach what a whole walk reaches, for every access class.
TEST_F(Canonicalize, StagesMatchAWholeWalk) {
    link("../r/dir", "w/l");
    link(at("r/dir/file"), "w/abs");
    link("missing", "w/dangling");
    link("l", "w/chain");
    Policy everything = decode_records({{"E", "/"}, {"W", "/"}});
    const char* paths[] = {"",
                           "r",
                           "r/dir/file",
                           "w/l",
                           "w/l/",
                           "w/l/.",
                           "w/l/..",
                           "w/abs",
                           "w/dangling",
                           "w/chain",
                           "w/chain/file",
                           "w/l/../t",
                           "r/new",
                           "r/missing/x",
                           "w/./abs",
                           "r/dir/",
                           "r/dir/.",
                           "r/dir/..",
                           "r/./dir//file",
                           "a/b/../../r/t",
                           "r/dir/file/../../t",
                           "w/abs/",
                           "r/dir/file/",
                           "a/b/../../w/l/file",
                           "r/dir/new",
                           "w/l/new",
                           "r/dir/file/new",
                           "r/new/."};
    struct Mode {
        Access access;
        int follow;
    };
    const Mode modes[] = {{ACCESS_STAT, 0},  {ACCESS_STAT, 1}, {ACCESS_READ, 1},  {ACCESS_WRITE, 0},
                          {ACCESS_WRITE, 1}, {ACCESS_EXEC, 1}, {ACCESS_DELETE, 0}};
    for (const Mode& mode : modes) {
        for (const char* rel : paths) {
            std::string path = at(rel);
            std::string context =
                std::string(rel) + " access " + std::to_string(mode.access) + " follow " + std::to_string(mode.follow);
            PathStages stages;
            const SandboxTree tree = {getpid(), -1, 0};
            ASSERT_TRUE(judge_path_stages(&everything, path.c_str(), mode.access, last_link(mode.follow), tree,
                                          getpid(), &stages))
                << context;
            EXPECT_EQ(std::string(stages.canonical), canonical(path, 0)) << context;
            bool wants_followed = mode.access == ACCESS_WRITE || mode.access == ACCESS_EXEC || mode.follow;
            ASSERT_EQ(stages.stage[STAGE_FOLLOWED].ran, wants_followed) << context;
            if (wants_followed) {
                EXPECT_EQ(std::string(stages.followed), canonical(path, 1)) << context;
            }
        }
    }
}

// The shortcut must not be taken where a link is involved, or the walk and
// the kernel would disagree.
TEST_F(Canonicalize, LinkFreePaths) {
    if (!free_of_links("/", 1)) GTEST_SKIP() << "this kernel has no openat2 (Linux 5.6 and later)";
    link("../r/dir", "w/l");
    link("missing", "w/dangling");
    struct Case {
        const char* rel;
        int follow;
        bool free;
    };
    const Case cases[] = {
        // clang-format off
        {"r/dir/file", 0, 1},      {"r/dir/file", 1, 1},  {"r/dir/", 1, 1},          {"a/b/../../r/t", 1, 1},
        {"w/l", 0, 1},             {"w/l", 1, 0},         {"w/l/", 0, 0},            {"w/l/file", 0, 0},
        {"w/l/..", 0, 0},          {"w/dangling", 0, 1},  {"w/dangling", 1, 0},      {"r/missing", 1, 1},
        {"r/missing/../t", 1, 0},  {"r/dir/file/../t", 1, 0}, {"r/dir/file/", 1, 0},
        // A last name still to be created, below a directory free of links.
        {"r/new", 1, 1},           {"r/new", 0, 1},       {"r/dir/new", 1, 1},       {"r/missing/x", 1, 0},
        {"w/l/new", 1, 0},         {"r/dir/file/new", 1, 0}, {"r/new/", 1, 0},       {"r/new/.", 1, 0},
        // clang-format on
    };
    for (const Case& c : cases) {
        EXPECT_EQ(free_of_links(at(c.rel), c.follow), c.free) << c.rel << " follow " << c.follow;
    }
    // The kernel's own names for the process are links: never free of them.
    EXPECT_FALSE(free_of_links("/proc/self/status", 1));
    EXPECT_FALSE(free_of_links("/dev/fd/0", 1));
}

}  // namespace
