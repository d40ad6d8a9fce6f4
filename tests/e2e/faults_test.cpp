// Every failure status of the launcher, reached through the fault points of
// a test-only build: a black box cannot make socketpair or fork fail.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

struct FaultCase {
    const char* point;
    int status;
    bool command_runs;
    const char* said;  // words of the one line the failure is told in; "": none
};

class LauncherFault : public testing::TestWithParam<FaultCase> {};

TEST_P(LauncherFault, EndsWithItsStatus) {
    const FaultCase& c = GetParam();
    e2e::ScratchDir scratch;
    const std::string marker = scratch / "ran";
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    for (bool quiet : {false, true}) {
        std::vector<std::string> argv = {e2e::bin_dir() + "/sandbox_faults", "--policy", policy};
        if (quiet) argv.push_back("--quiet");
        argv.insert(argv.end(), {"--", e2e::probe_path(), "write_file", marker, "x"});
        setenv("SANDBOX_FAULT", c.point, 1);
        e2e::RunResult r = e2e::run(argv);
        unsetenv("SANDBOX_FAULT");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.code, c.status) << r.err;
        EXPECT_EQ(e2e::file_exists(marker), c.command_runs);
        unlink(marker.c_str());
        if (quiet || c.said[0] == 0) {
            EXPECT_EQ(r.err, "") << "quiet " << quiet;
            continue;
        }
        // One line, the sandbox's own.
        EXPECT_EQ(r.err.rfind("sandbox: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LauncherFault,
    testing::Values(FaultCase{"none", 0, true, ""}, FaultCase{"decode-alloc", 111, false, "out of memory"},
                    FaultCase{"socketpair", 113, false, "listener channel"},
                    FaultCase{"fork-child", 114, false, "fork the command"},
                    // The command's process ends with 115 and says why, or with 116;
                    // the supervisor sees the channel close without a listener.
                    FaultCase{"core-limit", 118, false, "core-file limit"},
                    FaultCase{"filter", 118, false, "filter was refused"},
                    FaultCase{"send-listener", 118, false, "did not hand over"},
                    // Relayed as the command's own status.
                    FaultCase{"read-ack", 117, false, ""}, FaultCase{"recv-listener", 118, false, "did not hand over"},
                    FaultCase{"pipe2", 119, false, "status pipe"}, FaultCase{"block-sigchld", 119, false, "SIGCHLD"},
                    FaultCase{"fork-supervisor", 120, false, "supervisor could not be forked"},
                    FaultCase{"write-pid", 121, false, "pass on the command's pid"},
                    FaultCase{"signalfd", 122, false, "signalfd"}, FaultCase{"write-ack", 123, false, "release"},
                    FaultCase{"supervisor-dies-before-pid", 124, false, "ended before"},
                    FaultCase{"supervisor-dies-after-pid", 125, false, "ended while the command ran"}),
    [](const testing::TestParamInfo<FaultCase>& param_info) {
        std::string name = param_info.param.point;
        for (char& ch : name) {
            if (ch == '-') ch = '_';
        }
        return name;
    });

}  // namespace
