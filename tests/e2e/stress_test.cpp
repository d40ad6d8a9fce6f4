// Many trapped calls at once, tracees killed while they are judged, pids
// coming round, a command that leaves processes behind or exits with calls
// queued: every answer must be right and nothing may hang. The counts are
// printed; SANDBOX_STRESS_LIGHT=1 (the virtual machines) runs a lighter load.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

class Stress : public testing::Test {
protected:
    Stress() {
        mkdir((scratch_ / "visible").c_str(), 0755);
        mkdir((scratch_ / "hidden").c_str(), 0755);
        mkdir((scratch_ / "out").c_str(), 0755);
        e2e::write_file(scratch_ / "visible/f", "x");
        e2e::write_file(scratch_ / "hidden/f", "x");
    }

    e2e::RunResult run(std::vector<std::string> words, int timeout_seconds = 120) {
        std::vector<std::string> command = {e2e::bin_dir() + "/stress"};
        command.insert(command.end(), words.begin(), words.end());
        command.push_back(scratch_.path());
        // The hidden directory stays hidden; only the results may be written.
        std::string policy =
            e2e::probe_policy({{"E", scratch_ / "visible"}, {"E", scratch_ / "out"}, {"W", scratch_ / "out"}});
        e2e::RunOptions options;
        options.timeout_seconds = timeout_seconds;
        e2e::RunResult r = e2e::run(e2e::sandboxed(policy, command), options);
        std::cout << "[ counts   ] " << r.out;
        return r;
    }

    e2e::ScratchDir scratch_;
};

TEST_F(Stress, ConcurrentCallsGetTheirOwnAnswers) {
    e2e::RunResult r = e2e::is_light_load() ? run({"calls", "2", "4", "500"}) : run({"calls", "8", "8", "3000"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
}

// A file written, closed and run at once while other threads hand over
// theirs: the supervisor's own copy of it is gone before it runs.
TEST_F(Stress, WrittenFilesRunAtOnce) {
    e2e::RunResult r = run({"runs", "4", e2e::is_light_load() ? "30" : "300"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
}

TEST_F(Stress, TraceesKilledWhileJudged) {
    e2e::RunResult r = run({"kills", e2e::is_light_load() ? "50" : "300"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
}

TEST_F(Stress, PidsComeRoundWhileCallsArePending) {
    e2e::RunResult r = run({"churn", e2e::is_light_load() ? "200" : "2000"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
}

TEST_F(Stress, CommandExitsWithCallsQueued) {
    e2e::RunResult r = run({"queue", e2e::is_light_load() ? "200" : "1000"}, 60);
    ASSERT_FALSE(r.timed_out) << "the launcher waited on calls of a process that had exited";
    EXPECT_EQ(r.code, 7) << r.out << r.err;
}

TEST_F(Stress, ProcessesLeftBehindAreServed) {
    const int children = e2e::is_light_load() ? 4 : 16;
    e2e::RunResult r = run({"background", std::to_string(children), e2e::is_light_load() ? "500" : "1500"}, 30);
    ASSERT_FALSE(r.timed_out) << "the launcher waited for the processes left behind";
    ASSERT_EQ(r.code, 0) << r.err;
    // The results arrive once the processes left behind are done.
    for (int i = 0; i < children; ++i) {
        std::string name = scratch_ / ("out/bg-" + std::to_string(i));
        for (int tries = 0; tries < 60 * 100 && !e2e::file_exists(name); ++tries) usleep(10000);
        std::string counts = e2e::read_file(name);
        EXPECT_NE(counts.find(" wrong 0"), std::string::npos) << name << ": " << counts;
        EXPECT_EQ(counts.find("calls 0 "), std::string::npos) << name << ": " << counts;
    }
}

}  // namespace

namespace {

int count_descriptors(long pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(d);
    }
    return count;
}

// Judging threads close the copy of a descriptor they handed over just
// after the caller has taken it, so a count taken at one moment may include
// one on its way out: the fewest over a moment is what the supervisor
// keeps.
int count_kept_descriptors(long pid) {
    int fewest = count_descriptors(pid);
    for (int i = 0; i < 20; ++i) {
        usleep(10000);
        fewest = std::min(fewest, count_descriptors(pid));
    }
    return fewest;
}

// The supervisor holds the same descriptors after thousands of judgements,
// refusals, descriptor reopenings and socket checks as before them.
TEST_F(Stress, SupervisorLeaksNoDescriptors) {
    // The counts are taken while the probe waits, so that no check is
    // holding a file of its own open at that moment.
    std::vector<std::string> words = {"ppid", ":", "ready", ":", "await", scratch_ / "out/go"};
    const int rounds = e2e::is_light_load() ? 100 : 1000;
    for (int i = 0; i < rounds; ++i) {
        for (const std::vector<std::string>& op :
             std::vector<std::vector<std::string>>{{"openat", "AT_FDCWD", scratch_ / "visible/f", "O_RDONLY"},
                                                   {"openat", "AT_FDCWD", scratch_ / "hidden/f", "O_RDONLY"},
                                                   {"openat", "AT_FDCWD", "/dev/stdout", "O_WRONLY"},
                                                   {"openat", "AT_FDCWD", "relative/path", "O_RDONLY"},
                                                   {"connect", "inet", "127.0.0.1", "9"}}) {
            words.push_back(":");
            words.insert(words.end(), op.begin(), op.end());
        }
    }
    words.insert(words.end(), {":", "ready", ":", "pause"});
    std::string policy = e2e::probe_policy({{"E", scratch_ / "visible"}, {"E", scratch_ / "out"}});
    e2e::Process launcher(e2e::sandboxed_probe(policy, words));
    std::vector<std::string> seen;
    ASSERT_TRUE(launcher.read_until("READY", &seen));
    ASSERT_EQ(seen.size(), 1u);
    long supervisor = e2e::ok_value(seen[0]);
    ASSERT_GT(supervisor, 1);
    int before = count_kept_descriptors(supervisor);
    EXPECT_GT(before, 0);
    e2e::write_file(scratch_ / "out/go", "");
    ASSERT_TRUE(launcher.read_until("READY", &seen));
    EXPECT_EQ(count_kept_descriptors(supervisor), before);
    std::cout << "[ counts   ] calls " << rounds * 5 << " descriptors " << before << "\n";
    launcher.signal(SIGTERM);
    EXPECT_EQ(launcher.finish().code, 128 + SIGTERM);
}

}  // namespace
