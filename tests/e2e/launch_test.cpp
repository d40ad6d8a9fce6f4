// Launch behaviour of the sandbox program seen from outside: command-line
// checks, exit statuses, signal forwarding, the process layout and what the
// command inherits, under policies that let the probe run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/arch.h"
#include "support/run.h"

namespace {

using e2e::ops;
using e2e::Process;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::ScratchDir;
using e2e::Words;

constexpr int k_exit_usage = 110;
constexpr int k_exit_bad_pattern = 112;
constexpr int k_exit_no_status = 125;
constexpr int k_exit_exec_failed = 126;
constexpr int k_exit_not_found = 127;

// Words with "{probe}" and "{scratch}" put in place.
Words expand(const Words& words, const ScratchDir& scratch) {
    Words out;
    for (std::string word : words) {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"{probe}", e2e::probe_path()}, {"{scratch}", scratch.path()}}) {
            size_t at = word.find(key);
            if (at != std::string::npos) word.replace(at, key.size(), value);
        }
        out.push_back(word);
    }
    return out;
}

// "OK #" in an expectation stands for any "OK <number>" line.
void expect_lines(const std::string& out, const Words& expected) {
    Words got = e2e::lines_of(out);
    ASSERT_EQ(got.size(), expected.size()) << out;
    for (size_t i = 0; i < got.size(); ++i) {
        if (expected[i] == "OK #") {
            EXPECT_GE(e2e::ok_value(got[i]), 0) << "line " << i << ": " << got[i];
        } else {
            EXPECT_EQ(got[i], expected[i]) << "line " << i;
        }
    }
}

// Test names of the tables: the case's own name.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// ---- command line -----------------------------------------------------------

struct UsageCase {
    const char* name;
    std::string argv0;  // empty: the real path
    Words args;
};

class Usage : public testing::TestWithParam<UsageCase> {};

// The command of every malformed line would leave a file behind if run.
const Words k_marker_command = {"{probe}", "write_file", "{scratch}/ran", "yes"};

Words with_marker(Words head) {
    head.insert(head.end(), k_marker_command.begin(), k_marker_command.end());
    return head;
}

TEST_P(Usage, RefusedBeforeAnythingStarts) {
    ScratchDir scratch;
    const UsageCase& c = GetParam();
    std::string argv0 = c.argv0.empty() ? e2e::sandbox_path() : c.argv0;
    Words argv = {argv0};
    Words rest = expand(c.args, scratch);
    argv.insert(argv.end(), rest.begin(), rest.end());
    RunOptions options;
    options.exe = e2e::sandbox_path();

    RunResult r = e2e::run(argv, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, k_exit_usage);
    // What is wrong, then the usage.
    EXPECT_EQ(r.err.rfind("sandbox: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nusage: " + argv0 + " --policy <base64> [--keep-fd N]... -- <binary> [args...]\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(e2e::file_exists(scratch / "ran"));
}

INSTANTIATE_TEST_SUITE_P(
    Launch, Usage,
    testing::Values(UsageCase{"no_arguments", "", {}}, UsageCase{"only_four_words", "", {"--policy", "", "--"}},
                    UsageCase{"only_four_words_with_command", "", {"--policy", "", "{probe}"}},
                    UsageCase{"single_dash", "", with_marker({"--policy", "", "-"})},
                    UsageCase{"three_dashes", "", with_marker({"--policy", "", "---"})},
                    UsageCase{"dashes_and_more", "", with_marker({"--policy", "", "--x"})},
                    UsageCase{"longer_option", "", with_marker({"--policyx", "", "--"})},
                    UsageCase{"shorter_option", "", with_marker({"--polic", "", "--"})},
                    UsageCase{"keep_fd_below_3", "", with_marker({"--policy", "", "--keep-fd", "2", "--"})},
                    UsageCase{"keep_fd_not_decimal", "", with_marker({"--policy", "", "--keep-fd", "0x3", "--"})},
                    UsageCase{"keep_fd_without_number", "", with_marker({"--policy", "", "--keep-fd", "--"})},
                    UsageCase{"keep_fd_without_separator", "", {"--policy", "", "--keep-fd", "3", "{probe}"}},
                    UsageCase{"argv0_as_given", "some/other-name", with_marker({"--polic", "", "--"})},
                    UsageCase{"bare_argv0", "sbx", with_marker({"--policy", "", "-"})}),
    case_name<UsageCase>);

// ---- exit statuses -----------------------------------------------------------

struct StatusCase {
    const char* name;
    Words command;  // after "--"; may use {probe} and {scratch}
    int code;
    bool machines_own = false;  // the machine's program: tried without the sandbox first
};

class ExitStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatus, Relayed) {
    const StatusCase& c = GetParam();
    if (std::string why = c.machines_own ? e2e::fails_natively(c.command, {}, c.code) : ""; !why.empty()) {
        GTEST_SKIP() << why;
    }
    ScratchDir scratch;
    // A file without execute bits and a directory, for the exec failures.
    e2e::write_file(scratch / "plain", "not a program\n");
    ASSERT_EQ(chmod((scratch / "plain").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((scratch / "dir").c_str(), 0755), 0);

    RunResult r = e2e::run(e2e::sandboxed(e2e::probe_policy({{"E", scratch.path()}}), expand(c.command, scratch)));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, c.code) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Launch, ExitStatus,
    testing::Values(StatusCase{"true_by_path", {"/bin/true"}, 0, true}, StatusCase{"true_by_name", {"true"}, 0, true},
                    StatusCase{"false_by_path", {"/bin/false"}, 1, true},
                    StatusCase{"probe_no_operations", {"{probe}"}, 0},
                    StatusCase{"exit_0", {"{probe}", "exit", "0"}, 0},
                    StatusCase{"exit_3", {"{probe}", "exit", "3"}, 3},
                    StatusCase{"exit_255", {"{probe}", "exit", "255"}, 255},
                    StatusCase{"raise_sigterm", {"{probe}", "raise", "15"}, 128 + SIGTERM},
                    StatusCase{"raise_sigkill", {"{probe}", "raise", "9"}, 128 + SIGKILL},
                    StatusCase{"missing_path", {"{scratch}/missing"}, k_exit_not_found},
                    StatusCase{"hidden_path", {"/nonexistent/x"}, k_exit_exec_failed},
                    StatusCase{"name_not_on_path", {"sandbox-e2e-no-such-command"}, k_exit_not_found},
                    StatusCase{"not_executable", {"{scratch}/plain"}, k_exit_exec_failed},
                    StatusCase{"directory", {"{scratch}/dir"}, k_exit_exec_failed}),
    case_name<StatusCase>);

// ---- policies that do not compile ----------------------------------------------

struct PatternCase {
    const char* name;
    Records records;
};

class BadPattern : public testing::TestWithParam<PatternCase> {};

TEST_P(BadPattern, EndsTheLaunchBeforeTheCommand) {
    ScratchDir scratch;
    RunResult r = e2e::run(e2e::sandboxed(make_blob(GetParam().records), expand(k_marker_command, scratch)));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, k_exit_bad_pattern);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(e2e::file_exists(scratch / "ran"));
}

INSTANTIATE_TEST_SUITE_P(Launch, BadPattern,
                         testing::Values(PatternCase{"open_group", {{"P", "("}}},
                                         PatternCase{
                                             "later_of_several",
                                             {{"P", "^/tmp/[a-z]+$"}, {"W", "/tmp"}, {"P", "\\.log$"}, {"P", "("}}},
                                         PatternCase{"open_bracket_after_good", {{"P", "^/var/"}, {"P", "a["}}}),
                         case_name<PatternCase>);

// An empty blob is the default policy: every path is hidden, so even the
// command cannot be executed.
TEST(Launch, EmptyPolicyIsTheDefaultPolicy) {
    RunResult r = e2e::run(e2e::sandboxed("", {"/bin/true"}));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, k_exit_exec_failed) << r.err;
    EXPECT_EQ(r.err.rfind("sandbox: cannot run '/bin/true': refused by the policy: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("hidden: inside hidden_root / and under no visible entry\n"), std::string::npos) << r.err;
}

// ---- what the sandbox says ---------------------------------------------------------

struct SaidCase {
    const char* name;
    Words args;  // after argv[0]; {policy} is a policy the probe runs under
    int code;
    const char* said;    // in the one line on standard error; "" for none
    bool usage = false;  // the usage follows it
};

class Said : public testing::TestWithParam<SaidCase> {};

// Every failure of the sandbox itself is one line on standard error, its
// own, and --quiet silences it; the status stays what it was.
TEST_P(Said, OneLineForEachFailure) {
    ScratchDir scratch;
    e2e::write_file(scratch / "plain", "not a program\n", 0644);
    e2e::write_file(scratch / "typo.policy", "visible /usr\nvisibel /lib\n");
    const std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"E", e2e::bin_dir()}});
    const SaidCase& c = GetParam();
    for (bool quiet : {false, true}) {
        Words argv = {e2e::sandbox_path()};
        if (quiet) argv.push_back("--quiet");
        for (std::string word : expand(c.args, scratch)) {
            for (size_t at; (at = word.find("{policy}")) != std::string::npos;) word.replace(at, 8, policy);
            const bool inner = word == "{sandbox}";
            argv.push_back(inner ? e2e::sandbox_path() : word);
            if (inner && quiet) argv.push_back("--quiet");
        }
        // A sandbox built with the leak checker, run inside another, would
        // fail its check at exit: the check stops threads with ptrace.
        RunOptions options;
        options.env = {"ASAN_OPTIONS=detect_leaks=0"};
        RunResult r = e2e::run(argv, options);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.code, c.code) << r.err;
        if (quiet || c.said[0] == 0) {
            EXPECT_EQ(r.err.find("sandbox: "), std::string::npos) << r.err;
            continue;
        }
        const Words lines = e2e::lines_of(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("sandbox: ", 0), 0u) << r.err;
        EXPECT_NE(lines[0].find(c.said), std::string::npos) << r.err;
        // After a mistaken command line, the usage; else nothing more.
        EXPECT_EQ(lines.size(), c.usage ? 4u : 1u) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Launch, Said,
    testing::Values(
        SaidCase{"unknown_option", {"--polcy", "x", "--", "{probe}"}, k_exit_usage, "unknown option '--polcy'", true},
        SaidCase{"foreign_byte", {"--policy", "UgA-vaG9", "--", "{probe}"}, k_exit_usage, "'-' at offset 3"},
        SaidCase{"cut_short", {"--policy", "UgAvZ", "--", "{probe}"}, k_exit_usage, "cut short"},
        SaidCase{"joined_blobs", {"--policy", "SAAxAA==SAAxAA==", "--", "{probe}"}, k_exit_usage, "joined"},
        SaidCase{"bad_pattern",
                 {"--policy", "UAAoAA==", "--", "{probe}"},
                 k_exit_bad_pattern,
                 "write pattern '(' does not compile"},
        SaidCase{"missing_policy_file",
                 {"--policy-file", "{scratch}/none", "--", "{probe}"},
                 k_exit_usage,
                 "cannot read the policy file"},
        SaidCase{"mistaken_source",
                 {"--policy-file", "{scratch}/typo.policy", "--", "{probe}"},
                 k_exit_usage,
                 "typo.policy:2: unknown rule 'visibel'"},
        SaidCase{"audit_without_log",
                 {"--policy", "{policy}", "--audit", "--", "{probe}"},
                 k_exit_usage,
                 "--audit needs --log",
                 true},
        SaidCase{"log_nowhere",
                 {"--policy", "{policy}", "--log", "{scratch}/no/log", "--", "{probe}"},
                 k_exit_usage,
                 "cannot open the log"},
        SaidCase{"not_on_path",
                 {"--policy", "{policy}", "--", "sandbox-e2e-no-such-command"},
                 k_exit_not_found,
                 "cannot run 'sandbox-e2e-no-such-command': not found on PATH"},
        SaidCase{"hidden_command",
                 {"--policy", "{policy}", "--", "/nonexistent/x"},
                 k_exit_exec_failed,
                 "cannot run '/nonexistent/x': refused by the policy: /nonexistent/x: hidden"},
        SaidCase{"not_executable",
                 {"--policy", "{policy}", "--", "{scratch}/plain"},
                 k_exit_exec_failed,
                 "Permission denied"},
        SaidCase{"nested_audit",
                 {"--policy", "{policy}", "--", "{sandbox}", "--policy", "{policy}", "--log", "{scratch}/log",
                  "--audit", "--", "{probe}"},
                 k_exit_usage,
                 "--audit cannot be used inside another sandbox"},
        SaidCase{"command_runs", {"--policy", "{policy}", "--", "{probe}", "exit", "3"}, 3, ""}),
    case_name<SaidCase>);

TEST(Launch, HelpAndVersion) {
    RunResult help = e2e::run({e2e::sandbox_path(), "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--policy-file FILE"), std::string::npos);
    EXPECT_EQ(help.err, "");
    RunResult version = e2e::run({e2e::sandbox_path(), "--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("sandbox ", 0), 0u) << version.out;
    EXPECT_EQ(e2e::lines_of(version.out).size(), 1u);
}

// The policy can stay out of the process list: a file or a descriptor holds
// it, as a blob or as the rules themselves.
TEST(Launch, PolicyFromAFileOrADescriptor) {
    ScratchDir scratch;
    const std::string blob = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    e2e::write_file(scratch / "blob", blob + "\n");
    e2e::write_file(scratch / "rules", "# the probe's own rules, then the scratch area\ninclude blob-free\n");
    // Source: the probe's blob decoded is not at hand here, so the rules
    // name what the probe needs through sandbox-policy.
    RunResult decoded = e2e::run({e2e::bin_dir() + "/sandbox-policy", "decode", blob});
    ASSERT_EQ(decoded.code, 0) << decoded.err;
    e2e::write_file(scratch / "blob-free", decoded.out);
    const Words command = {e2e::probe_path(), "write_file", scratch / "made", "x"};
    for (const char* file : {"blob", "rules"}) {
        Words argv = {e2e::sandbox_path(), "--policy-file", scratch / file, "--"};
        argv.insert(argv.end(), command.begin(), command.end());
        RunResult r = e2e::run(argv);
        EXPECT_EQ(r.code, 0) << file << ": " << r.err;
        EXPECT_TRUE(e2e::file_exists(scratch / "made")) << file;
        unlink((scratch / "made").c_str());
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], blob.data(), blob.size()), static_cast<ssize_t>(blob.size()));
    close(fds[1]);
    const int at = 9;
    ASSERT_EQ(dup2(fds[0], at), at);
    close(fds[0]);
    RunOptions options;
    options.inherited_fds = {at};
    Words argv = {e2e::sandbox_path(), "--policy-fd", std::to_string(at), "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    RunResult r = e2e::run(argv, options);
    close(at);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(e2e::file_exists(scratch / "made"));
}

// ---- signals ---------------------------------------------------------------------

class ForwardedSignal : public testing::TestWithParam<int> {};

TEST_P(ForwardedSignal, ReachesTheCommand) {
    const int sig = GetParam();
    Process launcher(e2e::sandboxed_probe(e2e::probe_policy(), ops({{"ready"}, {"pause"}})));
    ASSERT_TRUE(launcher.read_until("READY"));
    // The command can be running before the launcher has its handlers.
    ASSERT_TRUE(e2e::wait_until_caught(launcher.pid(), sig));
    launcher.signal(sig);
    RunResult r = launcher.finish();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 128 + sig) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Launch, ForwardedSignal, testing::Values(SIGINT, SIGTERM, SIGHUP), [](const testing::TestParamInfo<int>& param) {
        return std::string(param.param == SIGINT ? "INT" : param.param == SIGTERM ? "TERM" : "HUP");
    });

// ---- process layout ------------------------------------------------------------

TEST(Launch, CommandKeepsTheSessionAndGroupSupervisorLeaves) {
    Process launcher(e2e::sandboxed_probe(
        e2e::probe_policy(), ops({{"sid"}, {"pgid"}, {"ppid"}, {"sid_of", "parent"}, {"ready"}, {"pause"}})));
    Words lines;
    ASSERT_TRUE(launcher.read_until("READY", &lines));
    ASSERT_EQ(lines.size(), 4u);

    EXPECT_EQ(lines[0], "OK " + std::to_string(getsid(0)));
    // The launcher leads its own group; the command stays in it.
    EXPECT_EQ(lines[1], "OK " + std::to_string(launcher.pid()));
    long supervisor = e2e::ok_value(lines[2]);
    EXPECT_GT(supervisor, 1);
    EXPECT_NE(supervisor, launcher.pid());
    // The supervisor made a session of its own and dropped the streams. Its
    // descriptors are looked at from here: the command may not.
    EXPECT_EQ(lines[3], "OK " + std::to_string(supervisor));
    EXPECT_NE(supervisor, getsid(0));
    for (int fd = 0; fd < 3; ++fd) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(supervisor) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null") << link;
    }
    launcher.signal(SIGTERM);
    EXPECT_EQ(launcher.finish().code, 128 + SIGTERM);
}

TEST(Launch, SupervisorDeathEndsTheCommand) {
    Process launcher(e2e::sandboxed_probe(e2e::probe_policy(),
                                          ops({{"pid"}, {"ppid"}, {"sid_of", "parent"}, {"ready"}, {"pause"}})));
    Words seen;
    ASSERT_TRUE(launcher.read_until("READY", &seen));
    ASSERT_EQ(seen.size(), 3u);
    long command = e2e::ok_value(seen[0]);
    long supervisor = e2e::ok_value(seen[1]);
    // Only signal a process that is what it should be: a session leader
    // other than us, running the sandbox program.
    ASSERT_GT(command, 1);
    ASSERT_GT(supervisor, 1);
    ASSERT_NE(supervisor, getpid());
    ASSERT_NE(supervisor, launcher.pid());
    ASSERT_EQ(seen[2], "OK " + std::to_string(supervisor));

    ASSERT_EQ(kill(static_cast<pid_t>(supervisor), SIGKILL), 0);
    RunResult r = launcher.finish();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, k_exit_no_status);
    EXPECT_TRUE(e2e::wait_until_gone(static_cast<pid_t>(command)));
}

TEST(Launch, BackgroundProcessOutlivesTheLauncher) {
    ScratchDir scratch;
    // The background probe makes its trapped calls only once the test has
    // seen the launcher exit, so the answers come from a supervisor that is
    // still there on its own.
    RunOptions options;
    options.timeout_seconds = 30;
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    RunResult r = e2e::run(e2e::sandboxed_probe(policy, ops({{"bg", "out", scratch / "bg.out"},
                                                             {"await", scratch / "go"},
                                                             {"newfstatat", "AT_FDCWD", scratch.path(), "0"},
                                                             {"write_file", scratch / "bg.txt", "done"}})),
                           options);
    e2e::write_file(scratch / "go", "");
    ASSERT_FALSE(r.timed_out) << "the launcher waited for the background process";
    EXPECT_EQ(r.code, 0) << r.err;

    Words lines;
    for (int i = 0; i < 60 * 1000 && lines.size() < 4; ++i) {
        lines = e2e::lines_of(e2e::read_file(scratch / "bg.out"));
        if (lines.size() < 4) usleep(1000);
    }
    EXPECT_EQ(lines, (Words{"OK", "OK", "OK", "OK"}));
    EXPECT_EQ(e2e::read_file(scratch / "bg.txt"), "done");
}

// ---- what the command inherits ---------------------------------------------------

// Descriptors above 2 that the caller leaves open are closed in the command
// but those named with --keep-fd and the pipes of the job servers that make
// and cargo announce; a job server's number that is no pipe is closed too.
TEST(Launch, CommandKeepsOnlyTheNamedDescriptorsAndJobServers) {
    int left_open = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int named = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int make_pipe[2];
    int cargo_pipe[2];
    ASSERT_GE(left_open, 0);
    ASSERT_GE(named, 0);
    ASSERT_EQ(pipe2(make_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(cargo_pipe, O_CLOEXEC), 0);
    const std::vector<int> fds = {left_open, named, make_pipe[0], make_pipe[1], cargo_pipe[0], cargo_pipe[1]};
    RunOptions options;
    options.inherited_fds = fds;
    options.env = {
        "MAKEFLAGS=-j2 --jobserver-auth=" + std::to_string(make_pipe[0]) + "," + std::to_string(make_pipe[1]),
        "CARGO_MAKEFLAGS=-j --jobserver-fds=" + std::to_string(cargo_pipe[0]) + "," + std::to_string(left_open)};
    std::vector<Words> list;
    for (int fd : fds) list.push_back({"fd_open", std::to_string(fd)});
    Words probe = {e2e::probe_path()};
    Words words = ops(list);
    probe.insert(probe.end(), words.begin(), words.end());

    // Without the sandbox every one of them reaches the command.
    RunResult native = e2e::run(probe, options);
    ASSERT_EQ(native.code, 0) << native.err;
    expect_lines(native.out, Words(fds.size(), "OK"));

    Words argv = {e2e::sandbox_path(), "--policy", e2e::probe_policy(), "--keep-fd", std::to_string(named), "--"};
    argv.insert(argv.end(), probe.begin(), probe.end());
    RunResult r = e2e::run(argv, options);
    for (int fd : fds) close(fd);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.err;
    expect_lines(r.out, {"ERR EBADF", "OK", "OK", "OK", "OK", "ERR EBADF"});
}

// Whether a crash left a core file ("core", or "core.PID") in dir.
bool has_core_file(const std::string& dir) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return false;
    bool found = false;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        found = found || name == "core" || name.rfind("core.", 0) == 0;
    }
    closedir(listing);
    return found;
}

// The kernel writes a crashing process's core file into its working
// directory, a write no rule judges; the command runs with both limits at 0.
TEST(Launch, CrashWritesNoCoreFile) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir((scratch / "native").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((scratch / "sandboxed").c_str(), 0755), 0);
    const Words crash = {"getrlimit", "RLIMIT_CORE", ":", "raise", "SIGSEGV"};
    RunOptions options;
    options.unlimited_core = true;
    options.cwd = scratch / "native";
    Words probe = {e2e::probe_path()};
    probe.insert(probe.end(), crash.begin(), crash.end());
    RunResult native = e2e::run(probe, options);
    if (native.code != 128 + SIGSEGV || !has_core_file(scratch / "native")) {
        std::string pattern = e2e::read_file("/proc/sys/kernel/core_pattern");
        GTEST_SKIP() << "without the sandbox, a crash with an unlimited core size (status " << native.code
                     << ") writes no core file into its working directory on this machine (core_pattern "
                     << pattern.substr(0, pattern.find('\n')) << ")";
    }

    options.cwd = scratch / "sandboxed";
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    RunResult r = e2e::run(e2e::sandboxed_probe(policy, crash), options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 128 + SIGSEGV) << r.err;
    EXPECT_EQ(r.out, "OK 0 0\n");
    EXPECT_FALSE(has_core_file(scratch / "sandboxed"));
}

// ---- trapped calls inside a writable scratch directory ----------------------------

struct CallCase {
    Words op;
    std::string expected;
};

// Runs the calls in one probe, in order, inside a scratch directory.
void expect_calls(const std::vector<CallCase>& calls) {
    ScratchDir scratch;
    std::vector<Words> list;
    Words expected;
    for (const CallCase& c : calls) {
        list.push_back(expand(c.op, scratch));
        expected.push_back(c.expected);
    }
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    RunResult r = e2e::run(e2e::sandboxed_probe(policy, ops(list)));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.err;
    expect_lines(r.out, expected);
}

TEST(Launch, LegacyCallsPassThrough) {
    if (!k_has_legacy_calls) GTEST_SKIP() << "this architecture has no legacy path calls";
    expect_calls({
        {{"open", "{scratch}", "O_RDONLY|O_DIRECTORY"}, "OK #"},
        {{"stat", "{scratch}"}, "OK"},
        {{"lstat", "{scratch}"}, "OK"},
        {{"access", "{scratch}", "F_OK"}, "OK"},
        {{"creat", "{scratch}/f", "0644"}, "OK #"},
        {{"mkdir", "{scratch}/d", "0755"}, "OK"},
        {{"rename", "{scratch}/f", "{scratch}/g"}, "OK"},
        {{"link", "{scratch}/g", "{scratch}/h"}, "OK"},
        {{"symlink", "g", "{scratch}/l"}, "OK"},
        {{"readlink", "{scratch}/l"}, "OK g"},
        {{"chmod", "{scratch}/g", "0600"}, "OK"},
        {{"chown", "{scratch}/g", "-1", "-1"}, "OK"},
        {{"lchown", "{scratch}/l", "-1", "-1"}, "OK"},
        {{"mknod", "{scratch}/p", "S_IFIFO|0600", "0"}, "OK"},
        {{"unlink", "{scratch}/h"}, "OK"},
        {{"rmdir", "{scratch}/d"}, "OK"},
        {{"open", "{scratch}/missing", "O_RDONLY"}, "ERR ENOENT"},
    });
}

TEST(Launch, AtCallsPassThrough) {
    expect_calls({
        {{"openat", "AT_FDCWD", "{scratch}", "O_RDONLY|O_DIRECTORY"}, "OK #"},
        {{"save", "dir"}, "OK"},
        {{"openat2", "dir", "f", "O_WRONLY|O_CREAT", "RESOLVE_BENEATH", "0644"}, "OK #"},
        {{"openat2", "dir", "../etc", "O_RDONLY", "RESOLVE_BENEATH"}, "ERR EACCES"},
        {{"openat2_nullhow", "dir", "f"}, "ERR EACCES"},
        {{"newfstatat", "dir", "f", "0"}, "OK"},
        {{"statx", "dir", "f", "AT_SYMLINK_NOFOLLOW", "STATX_BASIC_STATS"}, "OK"},
        {{"faccessat", "dir", "f", "R_OK|W_OK"}, "OK"},
        {{"faccessat2", "dir", "f", "F_OK", "AT_EACCESS"}, "OK"},
        {{"mkdirat", "dir", "d", "0755"}, "OK"},
        {{"renameat", "dir", "f", "AT_FDCWD", "{scratch}/g"}, "OK"},
        {{"renameat2", "dir", "g", "dir", "d", "RENAME_NOREPLACE"}, "ERR EEXIST"},
        {{"linkat", "dir", "g", "dir", "h", "0"}, "OK"},
        {{"symlinkat", "g", "dir", "l"}, "OK"},
        {{"readlinkat", "dir", "l"}, "OK g"},
        {{"fchmodat", "dir", "g", "0600"}, "OK"},
        {{"fchownat", "dir", "l", "-1", "-1", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"truncate", "@page:{scratch}/g", "10"}, "OK"},
        {{"mknodat", "dir", "p", "S_IFIFO|0600", "0"}, "OK"},
        {{"utimensat", "dir", "g", "0"}, "OK"},
        {{"unlinkat", "dir", "d", "AT_REMOVEDIR"}, "OK"},
        {{"unlinkat", "dir", "h", "0"}, "OK"},
        {{"stat", "BADPTR"}, k_has_legacy_calls ? "ERR EACCES" : "ERR ENOSYS"},
        {{"kill", "self", "0"}, "OK"},
        {{"tgkill", "self", "tid", "0"}, "OK"},
        {{"process_vm_readv", "self"}, "ERR EPERM"},
        {{"sendto_null"}, "OK 5"},
        {{"connect", "unix", "{scratch}/no-socket"}, "ERR ENOENT"},
        {{"execveat", "dir", "g", "0"}, "ERR EACCES"},
    });
}

}  // namespace
