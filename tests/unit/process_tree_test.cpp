#include "proc/process_tree.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <utility>

#include "proc/caller_state.h"
#include "unit/live_thread.h"
#include "unit/process_family.h"

namespace {

bool in_tree(pid_t pid, pid_t child, pid_t supervisor) {
    return is_in_sandbox_tree(pid, SandboxTree{child, -1, supervisor});
}

TEST(ThreadGroupOf, ThreadsMapToTheirProcess) {
    LiveThread thread;
    EXPECT_EQ(thread_group_of(getpid()), getpid());
    EXPECT_EQ(thread_group_of(thread.tid()), getpid());
    EXPECT_NE(thread.tid(), getpid());
    // No such process: the id itself.
    EXPECT_EQ(thread_group_of(0x3ffffff0), 0x3ffffff0);
    // Another process answers for itself.
    ProcessChain chain(1);
    EXPECT_EQ(thread_group_of(chain.at(0)), chain.at(0));
}

TEST(SandboxTree, FixedAnswers) {
    ProcessChain chain(1);
    int child = chain.at(0);
    int self = getpid();
    EXPECT_EQ(in_tree(0, child, self), 0);
    EXPECT_EQ(in_tree(-5, child, self), 0);
    EXPECT_EQ(in_tree(self, child, self), 0);
    EXPECT_EQ(in_tree(child, child, self), 1);
    EXPECT_EQ(in_tree(1, child, self), 0);
    EXPECT_EQ(in_tree(getppid(), child, self), 0);
    // The child is a member without any read, even once it is gone.
    EXPECT_EQ(in_tree(0x3ffffff0, 0x3ffffff0, self), 1);
    EXPECT_EQ(in_tree(0x3ffffff1, 0x3ffffff0, self), 0);
}

TEST(SandboxTree, DescendantsAndTheirThreads) {
    ProcessChain chain(3);
    ASSERT_EQ(chain.pids().size(), 3u);
    EXPECT_EQ(in_tree(chain.at(2), chain.at(0), getpid()), 1);
    EXPECT_EQ(in_tree(chain.at(1), chain.at(0), getpid()), 1);
    // Seen from a member further down, the root is outside.
    EXPECT_EQ(in_tree(chain.at(0), chain.at(1), getpid()), 0);

    // A thread of the sandboxed child: here this process plays the child.
    LiveThread thread;
    EXPECT_EQ(in_tree(thread.tid(), getpid(), getppid()), 1);
}

TEST(SandboxTree, HopLimit) {
    ProcessChain chain(50);
    ASSERT_EQ(chain.pids().size(), 50u);
    int self = getpid();
    EXPECT_EQ(in_tree(chain.at(47), chain.at(0), self), 1);
    EXPECT_EQ(in_tree(chain.at(48), chain.at(0), self), 1);  // 48 generations below
    EXPECT_EQ(in_tree(chain.at(49), chain.at(0), self), 0);  // 49
    EXPECT_EQ(in_tree(chain.at(49), chain.at(1), self), 1);
}

TEST(SandboxTree, NamesWithParenthesesAndBlanks) {
    ProcessChain chain(3, "a) b (c) ");
    ASSERT_EQ(chain.pids().size(), 3u);
    EXPECT_EQ(in_tree(chain.at(2), chain.at(0), getpid()), 1);
    EXPECT_EQ(in_tree(chain.at(2), chain.at(1), getpid()), 1);
}

TEST(SandboxTree, OrphansReparentedToTheSupervisorAreOutside) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        GTEST_SKIP() << "cannot become a child subreaper here (user-mode emulation does not support it)";
    }
    int orphan;
    {
        ProcessChain chain(3);
        ASSERT_EQ(chain.pids().size(), 3u);
        orphan = chain.at(2);
        ASSERT_EQ(in_tree(orphan, chain.at(0), getpid()), 1);
        kill(chain.at(1), SIGKILL);
        // The orphan's parent becomes this process once its parent is reaped.
        for (int i = 0; i < 10000 && getpgid(orphan) >= 0; ++i) {
            char path[64];
            snprintf(path, sizeof(path), "/proc/%d/stat", orphan);
            FILE* f = fopen(path, "r");
            if (f == nullptr) break;
            int parent = 0;
            int scanned = fscanf(f, "%*d %*s %*c %d", &parent);
            fclose(f);
            if (scanned == 1 && parent == getpid()) break;
            usleep(1000);
        }
        EXPECT_EQ(in_tree(orphan, chain.at(0), getpid()), 0);
        // It still runs under the supervisor: a daemon the command started.
        EXPECT_TRUE(is_under_supervisor(orphan, SandboxTree{chain.at(0), -1, getpid()}));
        EXPECT_FALSE(is_under_supervisor(getpid(), SandboxTree{chain.at(0), -1, getpid()}));
        EXPECT_FALSE(is_under_supervisor(getppid(), SandboxTree{chain.at(0), -1, getpid()}));
    }
    kill(orphan, SIGKILL);
    while (waitpid(orphan, nullptr, 0) < 0 && errno == EINTR) {}
    prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

}  // namespace

// What an open made for a caller takes from its /proc files.
TEST(CallerState, StatusAndStatFields) {
    const char* status =
        "Name:\tsh\nUmask:\t0027\nState:\tS (sleeping)\nUid:\t0\t65534\t0\t1000\nGid:\t5\t6\t7\t100\n"
        "Groups:\t4 24 27 \nCapInh:\t0000000000000000\nCapEff:\t000001ffffffffff\n";
    mode_t mask = 0;
    ASSERT_TRUE(parse_umask(status, &mask));
    EXPECT_EQ(mask, 027u);
    Credentials ids{};
    ASSERT_TRUE(parse_credentials(status, &ids));
    EXPECT_EQ(ids.fsuid, 1000u);
    EXPECT_EQ(ids.fsgid, 100u);
    EXPECT_EQ(ids.effective_caps, 0x1ffffffffffull);
    ASSERT_EQ(ids.group_count, 3);
    EXPECT_EQ(ids.groups[2], 27u);
    Credentials reordered = ids;
    std::swap(reordered.groups[0], reordered.groups[2]);
    EXPECT_TRUE(is_same_access(ids, reordered));
    Credentials fewer = ids;
    fewer.group_count = 2;
    EXPECT_FALSE(is_same_access(ids, fewer));
    Credentials dropped = ids;
    dropped.effective_caps = 0;
    EXPECT_FALSE(is_same_access(ids, dropped));
    EXPECT_FALSE(parse_umask("Name:\tx\n", &mask));
    EXPECT_FALSE(parse_credentials("Name:\tx\nUid:\t0\t0\n", &ids));

    // A command name with ") " in it; tty_nr 34816 is /dev/pts/0, 34817
    // /dev/pts/1; a minor above 255 keeps its high bits above the major.
    dev_t terminal = 1;
    ASSERT_TRUE(parse_terminal("12 (a) b) S 1 12 12 34817 12 4194560", &terminal));
    EXPECT_EQ(terminal, makedev(136, 1));
    ASSERT_TRUE(parse_terminal("12 (x) S 1 12 12 1083392 -1", &terminal));
    EXPECT_EQ(terminal, makedev(136, 256));
    ASSERT_TRUE(parse_terminal("12 (x) S 1 12 12 0 -1", &terminal));
    EXPECT_EQ(terminal, makedev(0, 0));
    EXPECT_FALSE(parse_terminal("12 (x", &terminal));
}
