#include "launcher/launcher.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/io.h"
#include "supervisor/response.h"

namespace {

TEST(CommandLine, Shapes) {
    struct Case {
        std::vector<std::string> args;
        bool valid;
    };
    const Case cases[] = {
        {{"sandbox", "--policy", "", "--", "true"}, 1},  {{"sandbox", "--policy", "UgA", "--", "ls", "-l"}, 1},
        {{"sandbox", "--policy", "", "--"}, 0},          {{"sandbox", "--policy", "", "-", "true"}, 0},
        {{"sandbox", "--policy", "", "---", "true"}, 0}, {{"sandbox", "--policy", "", "--x", "true"}, 0},
        {{"sandbox", "--policyx", "", "--", "true"}, 0}, {{"sandbox", "--polic", "", "--", "true"}, 0},
        {{"sandbox", "-p", "", "--", "true"}, 0},        {{"sandbox"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        EXPECT_EQ(is_command_line_valid(static_cast<int>(c.args.size()), argv.data()), c.valid) << c.args.size();
    }
}

TEST(WaitStatus, Mapping) {
    struct Case {
        int status;
        int expected;
    };
    const Case cases[] = {
        {0x0000, 0},                   // exit 0
        {0x0300, 3},                   // exit 3
        {0xff00, 255},                 // exit 255
        {SIGTERM, 143},                // killed by SIGTERM
        {SIGKILL, 137},                // killed by SIGKILL
        {SIGSEGV | 0x80, 139},         // killed, core dumped
        {0x7f | (SIGSTOP << 8), 125},  // stopped
        {0xffff, 125},                 // continued
        {0x7e, 128 + 0x7e},            // the highest signal number
    };
    for (const Case& c : cases) EXPECT_EQ(map_wait_status(c.status), c.expected) << std::hex << c.status;
}

TEST(WaitStatus, AgreesWithTheKernelsStatuses) {
    for (int code : {0, 1, 3, 126, 255}) {
        pid_t pid = fork();
        if (pid == 0) _exit(code);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(map_wait_status(status), code);
    }
    for (int sig : {SIGTERM, SIGKILL, SIGINT, SIGHUP}) {
        pid_t pid = fork();
        if (pid == 0) {
            signal(sig, SIG_DFL);
            raise(sig);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(map_wait_status(status), 128 + sig);
    }
}

TEST(FullTransfers, RoundTripAndShortPieces) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int sent = 0x12345678;
    ASSERT_TRUE(write_full(sv[0], &sent));
    int got = 0;
    ASSERT_TRUE(read_full(sv[1], &got));
    EXPECT_EQ(got, sent);

    // The reader asks again for what is missing when bytes trickle in.
    std::thread writer([&] {
        const char* bytes = reinterpret_cast<const char*>(&sent);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(write(sv[0], bytes + i, 1), 1);
            usleep(1000);
        }
    });
    got = 0;
    EXPECT_TRUE(read_full(sv[1], &got));
    writer.join();
    EXPECT_EQ(got, sent);

    // End of file after a partial value is a failure.
    ASSERT_EQ(write(sv[0], "ab", 2), 2);
    close(sv[0]);
    EXPECT_FALSE(read_full(sv[1], &got));
    EXPECT_FALSE(read_full(sv[1], &got));
    close(sv[1]);
}

TEST(FullTransfers, WriteToAClosedPeerFails) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    signal(SIGPIPE, SIG_IGN);
    int value = 7;
    EXPECT_FALSE(write_full(p[1], &value));
    close(p[1]);
    EXPECT_FALSE(write_full(-1, &value));
    EXPECT_FALSE(read_full(-1, &value));
    signal(SIGPIPE, SIG_DFL);
}

TEST(SupervisorExit, NonzeroCodeOrFallback) {
    struct Case {
        int code;  // -1: killed by SIGKILL
        int expected;
    };
    const Case cases[] = {{118, 118}, {5, 5}, {0, 124}, {-1, 124}};
    for (const Case& c : cases) {
        pid_t pid = fork();
        if (pid == 0) {
            if (c.code < 0) raise(SIGKILL);
            _exit(c.code);
        }
        EXPECT_EQ(supervisor_exit(pid, 124), c.expected) << c.code;
    }
    // Not a child of ours: the wait fails and the fallback stands.
    EXPECT_EQ(supervisor_exit(1, 125), 125);
}

TEST(ForwardSignal, ReachesTheChildThroughPidOrPidfd) {
    for (bool with_pidfd : {true, false}) {
        pid_t pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        g_sandbox = {pid, with_pidfd ? static_cast<int>(syscall(434, pid, 0)) : -1, getpid()};
        forward_signal(SIGTERM);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(map_wait_status(status), 143) << with_pidfd;
        if (g_sandbox.child_pidfd >= 0) close(g_sandbox.child_pidfd);
        g_sandbox = {-1, -1, -1};
    }
}

TEST(Response, ContinueOrError) {
    seccomp_notif_resp resp;
    fill_response(42, k_answer_continue, &resp);
    EXPECT_EQ(resp.id, 42u);
    EXPECT_EQ(resp.val, 0);
    EXPECT_EQ(resp.error, 0);
    EXPECT_EQ(resp.flags, SECCOMP_USER_NOTIF_FLAG_CONTINUE);
    fill_response(43, {EACCES, false, 0, false}, &resp);
    EXPECT_EQ(resp.error, -13);
    EXPECT_EQ(resp.flags, 0u);
    fill_response(44, {EPERM, false, 0, true}, &resp);
    EXPECT_EQ(resp.error, -1);
    EXPECT_EQ(resp.flags, 0u);
    EXPECT_EQ(resp.id, 44u);
    // Carried out by the supervisor: the call returns its value.
    fill_response(45, {0, true, 7, false}, &resp);
    EXPECT_EQ(resp.val, 7);
    EXPECT_EQ(resp.error, 0);
    EXPECT_EQ(resp.flags, 0u);
}

}  // namespace
