// Every failure status of the launcher, reached through the fault points of
// a test-only build: a black box cannot make socketpair or fork fail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/run.h"

namespace {

struct FaultCase {
    const char* point;
    int status;
    bool command_runs;
};

class LauncherFault : public testing::TestWithParam<FaultCase> {};

TEST_P(LauncherFault, EndsWithItsStatus) {
    const FaultCase& c = GetParam();
    e2e::ScratchDir scratch;
    const std::string marker = scratch / "ran";
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    std::vector<std::string> argv = {
        e2e::bin_dir() + "/sandbox_faults", "--policy", policy, "--", e2e::probe_path(), "write_file", marker, "x"};
    setenv("SANDBOX_FAULT", c.point, 1);
    e2e::RunResult r = e2e::run(argv);
    unsetenv("SANDBOX_FAULT");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, c.status) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(e2e::file_exists(marker), c.command_runs);
}

INSTANTIATE_TEST_SUITE_P(Faults, LauncherFault,
                         testing::Values(FaultCase{"none", 0, true}, FaultCase{"decode-alloc", 111, false},
                                         FaultCase{"socketpair", 113, false}, FaultCase{"fork-child", 114, false},
                                         // The command's process ends with 115 or 116; the supervisor
                                         // sees the channel close without a listener.
                                         FaultCase{"core-limit", 118, false}, FaultCase{"filter", 118, false},
                                         FaultCase{"send-listener", 118, false},
                                         // Relayed as the command's own status.
                                         FaultCase{"read-ack", 117, false}, FaultCase{"recv-listener", 118, false},
                                         FaultCase{"pipe2", 119, false}, FaultCase{"block-sigchld", 119, false},
                                         FaultCase{"fork-supervisor", 120, false}, FaultCase{"write-pid", 121, false},
                                         FaultCase{"signalfd", 122, false}, FaultCase{"write-ack", 123, false},
                                         FaultCase{"supervisor-dies-before-pid", 124, false},
                                         FaultCase{"supervisor-dies-after-pid", 125, false}),
                         [](const testing::TestParamInfo<FaultCase>& param_info) {
                             std::string name = param_info.param.point;
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });

}  // namespace
