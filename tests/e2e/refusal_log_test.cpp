// The refusal log seen from outside: real programs refused under a policy,
// each refusal a line in either format, read back with sandbox-policy's own
// reader; an audit of a small build, the rules learn proposes from it, and
// the same build under them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run.h"
#include "tools/sandbox_policy/coarsen.h"
#include "tools/sandbox_policy/log_reader.h"

namespace {

using e2e::RunOptions;
using e2e::RunResult;
using e2e::ScratchDir;
using e2e::Words;

constexpr int k_nobody = 65534;

LogFile read_log(const std::string& path) {
    LogFile log;
    std::string error;
    EXPECT_TRUE(read_log_file(path, &log, &error)) << error;
    EXPECT_TRUE(log.problems.empty()) << (log.problems.empty() ? "" : log.problems[0].message);
    return log;
}

std::vector<const LogEvent*> refusals_of(const LogFile& log) {
    std::vector<const LogEvent*> out;
    for (const LogEvent& event : log.events) {
        if (is_refusal(event)) out.push_back(&event);
    }
    return out;
}

// The first refusal by a program, for a call.
const LogEvent* find_refusal(const LogFile& log, const std::string& comm, const std::string& call) {
    for (const LogEvent* event : refusals_of(log)) {
        if (event->comm == comm && event->call == call) return event;
    }
    return nullptr;
}

class RefusalLog : public testing::TestWithParam<const char*> {};

// A write into a hidden directory, a read of a denied key file and a
// connect to a refused port, by touch, cat and bash: one line each, with
// what was refused, where and why.
TEST_P(RefusalLog, RealProgramsRefused) {
    const std::string format = GetParam();
    for (const char* program : {"bash", "touch", "cat"}) {
        if (e2e::find_program(program).empty()) GTEST_SKIP() << program << " is not installed";
    }
    ScratchDir scratch;
    ASSERT_EQ(mkdir((scratch / "hidden").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((scratch / "keys").c_str(), 0755), 0);
    e2e::write_file(scratch / "keys/id_ed25519", "secret\n", 0600);
    const std::string key = scratch / "keys/id_ed25519";
    const std::string policy = e2e::probe_policy({{"E", scratch / "keys"}, {"F", key}});
    const std::string log_path = scratch / "refusals.log";
    const std::string script =
        "touch " + scratch / "hidden/new; cat " + key + "; exec 3<>/dev/tcp/127.0.0.1/9 && echo reached";
    RunResult r = e2e::run({e2e::sandbox_path(), "--policy", policy, "--log", log_path, "--log-format", format, "--",
                            "bash", "-c", script});
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    struct stat st;
    ASSERT_EQ(stat(log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const LogFile log = read_log(log_path);
    ASSERT_GE(log.events.size(), 5u);
    EXPECT_EQ(log.events.front().kind, LogEventKind::start);
    EXPECT_EQ(log.events.front().mode, "enforce");
    EXPECT_EQ(log.events.front().command, "bash");
    EXPECT_EQ(log.events.front().policy, policy);
    EXPECT_EQ(log.events.back().kind, LogEventKind::end);
    EXPECT_EQ(log.events.back().refused, static_cast<int64_t>(refusals_of(log).size()));
    EXPECT_EQ(log.events.back().dropped, 0);
    for (const LogEvent* event : refusals_of(log)) {
        EXPECT_EQ(event->kind, LogEventKind::refused);
        EXPECT_GT(event->pid.value_or(0), 0);
        EXPECT_EQ(event->time.size(), 24u) << event->time;
        EXPECT_FALSE(event->why.empty());
    }

    const LogEvent* write = find_refusal(log, "touch", "openat");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->access, "write");
    EXPECT_NE(write->flags.find("O_CREAT"), std::string::npos) << write->flags;
    EXPECT_EQ(write->path, scratch / "hidden/new");
    EXPECT_EQ(write->judged, scratch / "hidden/new");
    EXPECT_EQ(write->rule, "hidden");
    EXPECT_EQ(write->entry, "hidden_root /");
    EXPECT_EQ(write->answer, "EACCES");

    const LogEvent* read = find_refusal(log, "cat", "openat");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->access, "read");
    EXPECT_EQ(read->judged, key);
    EXPECT_EQ(read->rule, "deny_exact");
    EXPECT_EQ(read->entry, "deny_exact " + key);
    EXPECT_EQ(read->answer, "EACCES");

    const LogEvent* connect = find_refusal(log, "bash", "connect");
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(connect->address, "127.0.0.1");
    EXPECT_EQ(connect->port, 9);
    EXPECT_EQ(connect->rule, "loopback_default");
    EXPECT_EQ(connect->entry, "loopback_default deny");
    // Nothing listens on port 9: the kernel's own answer where the socket
    // table can be read.
    EXPECT_TRUE(connect->answer == "ECONNREFUSED" || connect->answer == "EACCES") << connect->answer;
}

INSTANTIATE_TEST_SUITE_P(Formats, RefusalLog, testing::Values("text", "json"));

// Run as a user without CAP_SYS_PTRACE, as the supervisor then is too: a
// process that makes itself non-dumpable (as ssh-agent does) is told it
// did and stays readable, so its calls are judged as before; a program the
// supervisor cannot read to find its loader is refused, and the log says
// it could not be read, not that a rule refused it.
TEST(RefusalLogOf, WhatTheSupervisorCannotRead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the sandbox as another user";
    ScratchDir scratch;
    ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
    e2e::write_file(scratch / "file", "x\n");
    e2e::write_file(scratch / "hidden-binary", e2e::read_file(e2e::probe_path()), 0711);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const int log_fd = 9;
    ASSERT_EQ(dup2(fds[1], log_fd), log_fd);
    close(fds[1]);
    RunOptions as_nobody;
    as_nobody.run_as_uid = k_nobody;
    as_nobody.cwd = "/";
    as_nobody.inherited_fds = {log_fd};
    const Words head = {e2e::sandbox_path(),    "--policy", e2e::probe_policy({{"E", scratch.path()}}), "--log-fd",
                        std::to_string(log_fd), "--"};
    Words undumpable = head;
    for (const std::string& word : Words{e2e::probe_path(), "undumpable", ":", "openat", "AT_FDCWD", scratch / "file",
                                         "O_RDONLY", ":", "execve", scratch / "hidden-binary"}) {
        undumpable.push_back(word);
    }
    RunResult r = e2e::run(undumpable, as_nobody);
    close(log_fd);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    if (r.code == 126 || r.code == 127) GTEST_SKIP() << "the probe cannot be run by uid " << k_nobody << ": " << r.err;
    const Words lines = e2e::lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
    EXPECT_EQ(lines[0], "OK");
    EXPECT_EQ(e2e::ok_value(lines[1]) >= 0, true) << lines[1];
    EXPECT_EQ(lines[2], "ERR EACCES");
    LogFile log;
    read_log_text(text, &log);
    const LogEvent* exec = find_refusal(log, "probe", "execve");
    ASSERT_NE(exec, nullptr) << text;
    EXPECT_EQ(exec->rule, "unreadable");
    EXPECT_NE(exec->why.find("could not be read"), std::string::npos) << exec->why;
    EXPECT_EQ(find_refusal(log, "probe", "openat"), nullptr) << text;
}

// An audit lets a small build through and logs what the policy would have
// refused; learn turns that into rules; the build then runs under them
// refusing nothing, and the rules reach no further than the build did.
TEST(Audit, LearnedRulesRunTheSameBuild) {
    for (const char* program : {"make", "cc"}) {
        if (e2e::find_program(program).empty()) GTEST_SKIP() << program << " is not installed";
    }
    ScratchDir scratch;
    const std::string project = scratch / "project";
    ASSERT_EQ(mkdir(project.c_str(), 0755), 0);
    e2e::write_file(project + "/main.c", "int helper(void);\nint main(void) { return helper(); }\n");
    e2e::write_file(project + "/helper.c", "int helper(void) { return 0; }\n");
    e2e::write_file(project + "/Makefile",
                    "build/app: build/main.o build/helper.o\n\tcc -o $@ $^\n"
                    "build/%.o: %.c | build\n\tcc -c -o $@ $<\n"
                    "build:\n\tmkdir -p build\n");
    // The system as the probe needs it, the project readable, a scratch
    // directory for the compiler's temporary files; nothing of the project
    // writable.
    const std::string tmp = scratch / "tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    RunResult base = e2e::run(
        {e2e::bin_dir() + "/sandbox-policy", "decode", e2e::probe_policy({{"E", project}, {"E", tmp}, {"W", tmp}})});
    ASSERT_EQ(base.code, 0) << base.err;
    const std::string base_file = scratch / "base.policy";
    e2e::write_file(base_file, base.out);

    RunOptions options;
    options.cwd = project;
    options.env = {"TMPDIR=" + tmp};
    const Words build = {"make", "-s"};
    auto under = [&](Words head) {
        head.insert(head.end(), {"--"});
        head.insert(head.end(), build.begin(), build.end());
        return head;
    };
    ASSERT_NE(e2e::run(under({e2e::sandbox_path(), "--policy-file", base_file}), options).code, 0)
        << "the build should need more than the base policy";

    const std::string audit_log = scratch / "audit.log";
    RunResult audited =
        e2e::run(under({e2e::sandbox_path(), "--policy-file", base_file, "--audit", "--log", audit_log}), options);
    ASSERT_EQ(audited.code, 0) << audited.err;
    ASSERT_TRUE(e2e::file_exists(project + "/build/app"));
    const LogFile audit = read_log(audit_log);
    ASSERT_FALSE(refusals_of(audit).empty());

    RunResult learned = e2e::run({e2e::bin_dir() + "/sandbox-policy", "learn", audit_log, "--base", base_file});
    ASSERT_EQ(learned.code, 0) << learned.err;
    const std::string learned_file = scratch / "learned.policy";
    e2e::write_file(learned_file, learned.out);
    // No rule wider than the build needed: what it writes is its build
    // directory, and every other rule names a path the build was refused,
    // or a directory that holds several.
    std::vector<std::string> judged;
    for (const LogEvent* event : refusals_of(audit)) judged.push_back(event->judged);
    for (const std::string& line : e2e::lines_of(learned.out)) {
        if (line.empty() || line[0] == '#' || line.rfind("include ", 0) == 0) continue;
        const size_t blank = line.find(' ');
        ASSERT_NE(blank, std::string::npos) << line;
        const std::string kind = line.substr(0, blank);
        const std::string path = line.substr(blank + 1);
        if (kind == "write") {
            EXPECT_EQ(path, project + "/build") << learned.out;
            continue;
        }
        size_t below = 0;
        bool named = false;
        for (const std::string& refused : judged) {
            named = named || refused == path;
            if (refused.rfind(path + "/", 0) == 0) ++below;
        }
        EXPECT_TRUE(named || below >= k_coarsen_threshold) << line << "\n" << learned.out;
    }

    ASSERT_EQ(system(("rm -rf '" + project + "/build'").c_str()), 0);
    const std::string enforced_log = scratch / "enforced.log";
    RunResult again =
        e2e::run(under({e2e::sandbox_path(), "--policy-file", learned_file, "--log", enforced_log}), options);
    EXPECT_EQ(again.code, 0) << again.err << learned.out;
    EXPECT_TRUE(e2e::file_exists(project + "/build/app"));
    // What is left is what every policy refuses (make's clone3, which it
    // falls back from).
    const LogFile enforced = read_log(enforced_log);
    for (const LogEvent* event : refusals_of(enforced)) {
        EXPECT_EQ(event->rule, "refused_call") << e2e::read_file(enforced_log);
    }
}

}  // namespace
