#include "launcher/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/io.h"
#include "launcher/policy_input.h"
#include "supervisor/response.h"

namespace {

TEST(CommandLine, Shapes) {
    struct Case {
        std::vector<std::string> args;
        int command;            // index of the binary; 0: malformed
        std::vector<int> kept;  // ascending
        PolicyFrom from = PolicyFrom::blob;
        LogTo log = LogTo::none;
    };
    const std::string too_big = std::to_string(k_descriptor_limit);
    const std::string largest = std::to_string(k_descriptor_limit - 1);
    const Case cases[] = {
        {{"sandbox", "--policy", "", "--", "true"}, 4, {}},
        {{"sandbox", "--policy", "UgA", "--", "ls", "-l"}, 4, {}},
        {{"sandbox", "--policy", "", "--"}, 0, {}},
        {{"sandbox", "--policy", "", "-", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "---", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--x", "true"}, 0, {}},
        {{"sandbox", "--policyx", "", "--", "true"}, 0, {}},
        {{"sandbox", "--polic", "", "--", "true"}, 0, {}},
        {{"sandbox", "-p", "", "--", "true"}, 0, {}},
        {{"sandbox"}, 0, {}},
        // The blob may look like anything, the separator included.
        {{"sandbox", "--policy", "--", "--", "true"}, 4, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "3", "--", "true"}, 6, {3}},
        {{"sandbox", "--policy", "", "--keep-fd", "9", "--keep-fd", "4", "--keep-fd", "9", "--", "a", "b"}, 10, {4, 9}},
        {{"sandbox", "--policy", "", "--keep-fd", largest, "--", "true"}, 6, {k_descriptor_limit - 1}},
        {{"sandbox", "--policy", "", "--keep-fd", "007", "--", "true"}, 6, {7}},
        {{"sandbox", "--keep-fd", "3", "--policy", "", "--", "true"}, 6, {3}},
        // After the separator everything is the command's.
        {{"sandbox", "--policy", "", "--", "--keep-fd", "3"}, 4, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "2", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "0", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", too_big, "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "99999999999999999999", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "-3", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "+3", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", " 3", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "3x", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "0x3", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "3", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "3", "--"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd=3", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--keep-fd", "3", "--keep-fd"}, 0, {}},
        // Where the policy comes from: exactly one place.
        {{"sandbox", "--policy-file", "p", "--", "true"}, 4, {}, PolicyFrom::file},
        {{"sandbox", "--policy-fd", "5", "--", "true"}, 4, {}, PolicyFrom::descriptor},
        {{"sandbox", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--policy-file", "p", "--", "true"}, 0, {}},
        {{"sandbox", "--policy-fd", "2", "--", "true"}, 0, {}},
        {{"sandbox", "--policy-fd", "5", "--keep-fd", "5", "--", "true"}, 0, {}},
        // The log, its format and the audit that needs it.
        {{"sandbox", "--policy", "", "--log", "f", "--", "true"}, 6, {}, PolicyFrom::blob, LogTo::file},
        {{"sandbox", "--log-fd", "7", "--log-format", "json", "--policy", "", "--audit", "--", "t"},
         9,
         {},
         PolicyFrom::blob,
         LogTo::descriptor},
        {{"sandbox", "--policy", "", "--log", "", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--log", "f", "--log-fd", "7", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--log-format", "xml", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--audit", "--", "true"}, 0, {}},
        {{"sandbox", "--policy-fd", "6", "--log-fd", "6", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--log-fd", "6", "--keep-fd", "6", "--", "true"}, 0, {}},
        {{"sandbox", "--quiet", "--policy", "", "--", "true"}, 5, {}},
        // How many threads judge: 1 to 64.
        {{"sandbox", "--judging-threads", "1", "--policy", "", "--", "true"}, 6, {}},
        {{"sandbox", "--policy", "", "--judging-threads", "64", "--", "true"}, 6, {}},
        {{"sandbox", "--policy", "", "--judging-threads", "0", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--judging-threads", "65", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--judging-threads", "4x", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--judging-threads", "", "--", "true"}, 0, {}},
        {{"sandbox", "--policy", "", "--help", "--", "true"}, 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        CommandLine line;
        LineProblem problem;
        std::string shown;
        for (const std::string& a : c.args) shown += " '" + a + "'";
        ASSERT_EQ(parse_command_line(static_cast<int>(c.args.size()), argv.data(), &line, &problem), c.command != 0)
            << shown;
        if (c.command == 0) {
            EXPECT_NE(problem.text[0], 0) << shown;
            continue;
        }
        EXPECT_EQ(line.action, Action::run) << shown;
        EXPECT_EQ(line.command, c.command) << shown;
        EXPECT_EQ(line.policy_from, c.from) << shown;
        EXPECT_EQ(line.log_to, c.log) << shown;
        EXPECT_EQ(std::vector<int>(line.kept.fds, line.kept.fds + line.kept.count), c.kept) << shown;
        const auto threads = std::find(c.args.begin(), c.args.end(), "--judging-threads");
        EXPECT_EQ(line.judging_threads, threads == c.args.end() ? 0 : std::stoi(*(threads + 1))) << shown;
    }

    // --help and --version stand alone.
    for (const char* alone : {"--help", "--version"}) {
        char* argv[] = {const_cast<char*>("sandbox"), const_cast<char*>(alone), nullptr};
        CommandLine line;
        LineProblem problem;
        ASSERT_TRUE(parse_command_line(2, argv, &line, &problem)) << alone;
        EXPECT_EQ(line.action, strcmp(alone, "--help") == 0 ? Action::help : Action::version);
    }

    // A bounded number of different descriptors; repeats do not count.
    std::vector<std::string> args = {"sandbox", "--policy", ""};
    for (int fd = 3; fd < 3 + static_cast<int>(k_max_keep_options); ++fd) {
        args.insert(args.end(), {"--keep-fd", std::to_string(fd)});
    }
    for (const char* extra : {"3", "100"}) {
        std::vector<std::string> more = args;
        more.insert(more.end(), {"--keep-fd", extra, "--", "true"});
        std::vector<char*> argv;
        for (std::string& a : more) argv.push_back(a.data());
        argv.push_back(nullptr);
        CommandLine line;
        LineProblem problem;
        EXPECT_EQ(parse_command_line(static_cast<int>(more.size()), argv.data(), &line, &problem),
                  strcmp(extra, "3") == 0)
            << extra;
    }
}

// A policy file holds one word of the Base64 alphabet, or source; the
// launcher says in words what is wrong with a blob.
TEST(PolicyInput, BlobOrSource) {
    EXPECT_TRUE(looks_like_blob("UgAvaG9tZQA="));
    EXPECT_TRUE(looks_like_blob("UgAvaG9t\nZQA=\n"));
    EXPECT_FALSE(looks_like_blob("visible /usr\n"));
    EXPECT_FALSE(looks_like_blob("# nothing\n"));
    EXPECT_FALSE(looks_like_blob("\n\n"));
    std::string problem;
    EXPECT_TRUE(check_blob("UgAv\nZQA=", &problem));
    EXPECT_FALSE(check_blob("UgA-vaG9", &problem));
    EXPECT_EQ(problem, "the policy is no blob: '-' at offset 3 is outside the Base64 alphabet");
    EXPECT_FALSE(check_blob("UgAvZ", &problem));
    EXPECT_EQ(problem, "the policy was cut short: its Base64 text leaves one character over");
    EXPECT_FALSE(check_blob("SAAxAA==SAAxAA==", &problem));
    EXPECT_EQ(problem, "the policy is blobs joined after encoding ('=' at offset 6): encode the rules together");
}

TEST(CommandLine, JobServerDescriptors) {
    struct Case {
        const char* flags;
        int read_fd;  // -1: none found
        int write_fd;
    };
    const Case cases[] = {
        {nullptr, -1, -1},
        {"", -1, -1},
        {"-j4", -1, -1},
        {" -j4 --jobserver-auth=3,4", 3, 4},
        {"ks -j --jobserver-fds=5,6", 5, 6},
        {"-j2\t--jobserver-auth=10,11\t", 10, 11},
        // make and cargo take the last one.
        {"-j --jobserver-fds=3,4 --jobserver-auth=7,8", 7, 8},
        {"-j --jobserver-auth=3,4 --jobserver-auth=fifo:/tmp/GMfifo1", -1, -1},
        // The fifo form names a file, not descriptors.
        {"-j4 --jobserver-auth=fifo:/tmp/GMfifo1", -1, -1},
        // Variable assignments follow a lone "--".
        {"-j4 -- FLAGS=--jobserver-auth=5,6", -1, -1},
        {"-j4 --jobserver-auth=3,4 -- FLAGS=--jobserver-auth=5,6", 3, 4},
        {"x--jobserver-auth=3,4", -1, -1},
        {"--jobserver-auth=", -1, -1},
        {"--jobserver-auth=3", -1, -1},
        {"--jobserver-auth=3,", -1, -1},
        {"--jobserver-auth=,4", -1, -1},
        {"--jobserver-auth=3,4x", -1, -1},
        {"--jobserver-auth=-1,4", -1, -1},
        {"--jobserver-auth=3,4,5", -1, -1},
        {"--jobserver-auth=3,1048576", -1, -1},
        {"--jobserver-auth=0,1", 0, 1},
    };
    for (const Case& c : cases) {
        int read_fd = -1;
        int write_fd = -1;
        const char* shown = c.flags == nullptr ? "(unset)" : c.flags;
        ASSERT_EQ(find_jobserver_fds(c.flags, &read_fd, &write_fd), c.read_fd >= 0) << shown;
        if (c.read_fd < 0) continue;
        EXPECT_EQ(read_fd, c.read_fd) << shown;
        EXPECT_EQ(write_fd, c.write_fd) << shown;
    }
}

// Both ways of closing, in a child: every descriptor above 2 goes but the
// kept ones, whatever gaps lie between them; a kept number that is not open
// stays closed.
TEST(KeptDescriptors, OnlyTheKeptStayOpen) {
    KeptDescriptors kept = {{}, 0};
    for (int fd : {31, 21, 1, 22, 300, 21}) ASSERT_TRUE(keep_descriptor(&kept, fd));
    EXPECT_FALSE(keep_descriptor(&kept, -1));
    EXPECT_EQ(std::vector<int>(kept.fds, kept.fds + kept.count), (std::vector<int>{1, 21, 22, 31, 300}));
    const int opened[] = {20, 21, 22, 25, 30, 31, 200};
    const std::vector<int> staying = {0, 1, 2, 21, 22, 31};
    for (bool ranges : {false, true}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int fd : opened) {
                if (dup2(2, fd) != fd) _exit(10);
            }
            if (ranges) {
                if (!close_unkept_ranges(&kept)) _exit(11);
            } else {
                close_unkept_listed(&kept);
            }
            for (int fd = 0; fd < 1024; ++fd) {
                bool open = fcntl(fd, F_GETFD) != -1;
                if (open != (std::find(staying.begin(), staying.end(), fd) != staying.end())) _exit(12);
            }
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (ranges && WEXITSTATUS(status) == 11) GTEST_SKIP() << "close_range is missing here (before Linux 5.9)";
        EXPECT_EQ(WEXITSTATUS(status), 0) << (ranges ? "close_range" : "/proc/self/fd");
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
