// sandbox-policy as scripts run it, and its presets under the real sandbox
// with the system's own tools. What this machine lacks (a busybox-only test
// machine has no git, python3 or getent, a minimal root no /etc/hosts) is
// tried without the sandbox first and skipped, each with its reason.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run.h"

namespace {

using e2e::RunResult;

std::string policy_tool() {
    return e2e::bin_dir() + "/sandbox-policy";
}

RunResult tool(const std::vector<std::string>& words, const e2e::RunOptions& options = {}) {
    std::vector<std::string> argv = {policy_tool()};
    argv.insert(argv.end(), words.begin(), words.end());
    return e2e::run(argv, options);
}

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A directory outside /tmp and outside every preset's write areas, for
// writes that must be refused; its absence of new files is checked.
class OutsideDir {
public:
    OutsideDir() {
        struct stat st;
        std::string base = stat("/var/tmp", &st) == 0 && S_ISDIR(st.st_mode) ? "/var/tmp" : e2e::bin_dir();
        std::string pattern = base + "/sandbox-preset-XXXXXX";
        if (base.compare(0, 5, "/tmp/") != 0 && mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~OutsideDir() {
        if (path_.empty()) return;
        unlink((path_ + "/refused").c_str());
        rmdir(path_.c_str());
    }
    OutsideDir(const OutsideDir&) = delete;
    OutsideDir& operator=(const OutsideDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class PolicyProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!e2e::file_exists(policy_tool())) GTEST_SKIP() << "sandbox-policy is not beside the test program";
    }
};

TEST_F(PolicyProgram, EncodeJoinsFilesAndOptionsInOrder) {
    e2e::ScratchDir scratch;
    e2e::write_file(scratch / "base.pol", "# system\nvisible /usr\n\nwrite /tmp\n");
    RunResult r = tool({"encode", scratch / "base.pol", "--write-pattern", "\\.log$", "--loopback_allow=8080",
                        "--loopback-default", "allow"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(trimmed(r.out), make_blob({{"E", "/usr"}, {"W", "/tmp"}, {"P", "\\.log$"}, {"L", "8080"}, {"H", "1"}}));
    RunResult decoded = tool({"decode", trimmed(r.out)});
    EXPECT_EQ(decoded.code, 0);
    EXPECT_EQ(decoded.out,
              "visible /usr\nwrite /tmp\nwrite_pattern \\.log$\nloopback_allow 8080\nloopback_default allow\n");
}

TEST_F(PolicyProgram, ErrorsAndStatuses) {
    e2e::ScratchDir scratch;
    RunResult relative = tool({"encode", "--visible", "usr"});
    EXPECT_EQ(relative.code, 2);
    EXPECT_NE(relative.err.find("relative path"), std::string::npos) << relative.err;

    RunResult bad = tool({"decode", make_blob({{"E", "/usr"}, {"P", "a{1"}})});
    EXPECT_EQ(bad.code, 112);
    EXPECT_NE(bad.err.find("\"a{1\" does not compile"), std::string::npos) << bad.err;
    EXPECT_EQ(tool({"explain", "--policy", make_blob({{"P", "("}}), "read", "/"}).code, 112);

    e2e::write_file(scratch / "warned.pol", "visible /usr\nvisible /usr/\n");
    e2e::write_file(scratch / "clean.pol", "visible /usr\nvisible /etc\n");
    RunResult warned = tool({"lint", scratch / "warned.pol"});
    EXPECT_EQ(warned.code, 1);
    EXPECT_NE(warned.out.find("warned.pol:2: visible /usr/: the trailing '/'"), std::string::npos) << warned.out;
    // Its PATH entries are judged too: the system's, which it shows.
    e2e::RunOptions system_path;
    system_path.env = {"PATH=/usr/bin"};
    RunResult clean = tool({"lint", scratch / "clean.pol"}, system_path);
    EXPECT_EQ(clean.code, 0) << clean.out;
    EXPECT_EQ(tool({"lint", make_blob({{"E", "/usr"}, {"Z", "/x"}})}).code, 1);

    for (const char* command : {"encode", "decode", "lint", "explain", "preset"}) {
        RunResult help = tool({command, "--help"});
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_NE(help.out.find(std::string("sandbox-policy ") + command), std::string::npos) << command;
    }
    EXPECT_EQ(tool({"frobnicate"}).code, 2);
}

TEST_F(PolicyProgram, ExplainAnswersAsTheSandboxWould) {
    std::string blob = make_blob({{"E", "/usr"}, {"E", "/etc"}, {"D", "/etc/ssl/private"}, {"L", "8080"}});
    RunResult denied = tool({"explain", "--policy", blob, "read", "/etc/ssl/private/key.pem"});
    EXPECT_EQ(denied.code, 1);
    EXPECT_NE(denied.out.find("denied by deny /etc/ssl/private"), std::string::npos) << denied.out;
    EXPECT_NE(denied.out.find("result: EACCES"), std::string::npos);
    RunResult json = tool({"explain", "--json", "--policy", blob, "write", "/etc/hosts"});
    EXPECT_EQ(json.code, 1);
    EXPECT_NE(json.out.find("\"rule\":\"not_writable\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"final\":\"EACCES\""), std::string::npos);
    EXPECT_EQ(tool({"explain", "--policy", blob, "connect", "127.0.0.1", "8080"}).code, 0);
    EXPECT_EQ(tool({"explain", "--policy", blob, "connect", "::1", "22"}).code, 1);
    // Another process's view: its /proc/self and the tree rooted at it.
    std::string self = std::to_string(getpid());
    RunResult other = tool({"explain", "--policy", blob, "--pid", self, "read", "/proc/self/status"});
    EXPECT_EQ(other.code, 0) << other.out;
    EXPECT_NE(other.out.find("/proc/" + self + "/status"), std::string::npos) << other.out;
}

// Each preset, encoded by the program, under the real sandbox.
class Preset : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!e2e::file_exists(policy_tool())) GTEST_SKIP() << "sandbox-policy is not beside the test program";
        // The commands are the machine's own, most of them run by its sh.
        if (std::string why = e2e::fails_natively({"sh", "-c", "true"}); !why.empty()) GTEST_SKIP() << why;
        work_ = scratch_ / "work";
        mkdir(work_.c_str(), 0755);
        e2e::write_file(work_ + "/hello", "hello\n");
    }

    std::string blob(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> words = {"preset", GetParam(), work_};
        words.insert(words.end(), extra.begin(), extra.end());
        RunResult source = tool(words);
        EXPECT_EQ(source.code, 0) << source.err;
        e2e::write_file(scratch_ / "policy", source.out);
        RunResult encoded = tool({"encode", scratch_ / "policy"});
        EXPECT_EQ(encoded.code, 0) << encoded.err;
        return trimmed(encoded.out);
    }

    RunResult sandboxed(const std::string& policy, const std::vector<std::string>& command) {
        e2e::RunOptions options;
        options.cwd = work_;
        return e2e::run(e2e::sandboxed(policy, command), options);
    }

    bool writes_work() const { return std::string(GetParam()) != "readonly"; }

    e2e::ScratchDir scratch_;
    std::string work_;
};

// ssh-agent makes itself non-dumpable before it makes its socket: run as
// an ordinary user, whose supervisor then could read none of its calls, it
// still starts, and its socket is there.
TEST_P(Preset, AgentThatHidesFromDebuggersStarts) {
    if (!writes_work()) GTEST_SKIP() << "the agent makes its socket in /tmp, which readonly keeps";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the agent as another user";
    if (e2e::find_program("ssh-agent").empty()) GTEST_SKIP() << "ssh-agent is not installed";
    ASSERT_EQ(chmod(scratch_.path().c_str(), 0755), 0);
    e2e::RunOptions options;
    options.cwd = work_;
    options.run_as_uid = 65534;
    options.env = {"TMPDIR=/tmp", "HOME=" + work_};
    RunResult agent = e2e::run(e2e::sandboxed(blob(), {"ssh-agent", "-s"}), options);
    const size_t at = agent.out.find("SSH_AGENT_PID=");
    const pid_t pid = at == std::string::npos ? 0 : static_cast<pid_t>(atoi(agent.out.c_str() + at + 14));
    if (pid > 0) kill(pid, SIGTERM);
    EXPECT_EQ(agent.code, 0) << agent.err;
    EXPECT_GT(pid, 0) << agent.out;
    const size_t sock = agent.out.find("SSH_AUTH_SOCK=");
    ASSERT_NE(sock, std::string::npos) << agent.out;
    const std::string path = agent.out.substr(sock + 14, agent.out.find(';', sock) - sock - 14);
    EXPECT_EQ(path.rfind("/tmp/ssh-", 0), 0u) << path;

    // gpg-agent leaves its parent as well; its client reaches the socket
    // that daemon of the tree made.
    if (e2e::find_program("gpg-agent").empty() || e2e::find_program("gpg-connect-agent").empty()) {
        GTEST_SKIP() << "gpg-agent is not installed";
    }
    RunResult gpg = e2e::run(
        e2e::sandboxed(blob(), {"sh", "-c",
                                "home=$(mktemp -d) && gpg-agent --homedir \"$home\" --daemon && "
                                "gpg-connect-agent --homedir \"$home\" 'GETINFO pid' /bye; status=$?; "
                                "gpgconf --homedir \"$home\" --kill gpg-agent; rm -rf \"$home\"; exit $status"}),
        options);
    EXPECT_EQ(gpg.code, 0) << gpg.err;
    EXPECT_EQ(gpg.out.rfind("D ", 0), 0u) << gpg.out << gpg.err;
}

TEST_P(Preset, ShellAndListing) {
    if (std::string why = e2e::fails_natively({"ls", work_}); !why.empty()) GTEST_SKIP() << why;
    std::string policy = blob();
    RunResult shell = sandboxed(policy, {"sh", "-c", "true"});
    EXPECT_EQ(shell.code, 0) << shell.err;
    RunResult listing = sandboxed(policy, {"ls", work_});
    EXPECT_EQ(listing.code, 0) << listing.err;
    EXPECT_NE(listing.out.find("hello"), std::string::npos);
}

TEST_P(Preset, WritesOnlyWhereItMay) {
    OutsideDir outside;
    if (outside.path().empty()) GTEST_SKIP() << "no directory outside /tmp to try a refused write in";
    std::string policy = blob();
    RunResult refused = sandboxed(policy, {"sh", "-c", "echo x > " + outside.path() + "/refused"});
    EXPECT_NE(refused.code, 0);
    // Hidden, so missing to the command, though it is there.
    EXPECT_TRUE(refused.err.find("No such file or directory") != std::string::npos ||
                refused.err.find("nonexistent") != std::string::npos)
        << refused.err;
    EXPECT_FALSE(e2e::file_exists(outside.path() + "/refused"));

    RunResult own = sandboxed(policy, {"sh", "-c", "echo x > made"});
    EXPECT_EQ(own.code == 0, writes_work()) << own.err;
    EXPECT_EQ(e2e::file_exists(work_ + "/made"), writes_work());
}

// localhost must come from /etc/hosts: where it does not, the lookup would
// ask a name server, natively and in the sandbox alike.
TEST_P(Preset, NameLookup) {
    if (std::string why = e2e::fails_natively({"getent", "-s", "files", "hosts", "localhost"}); !why.empty()) {
        GTEST_SKIP() << why << ": no localhost in /etc/hosts?";
    }
    RunResult lookup = sandboxed(blob(), {"getent", "hosts", "localhost"});
    EXPECT_EQ(lookup.code, 0) << lookup.err;
    EXPECT_NE(lookup.out.find("localhost"), std::string::npos);
}

TEST_P(Preset, Python) {
    if (std::string why = e2e::fails_natively({"python3", "-c", "pass"}); !why.empty()) GTEST_SKIP() << why;
    RunResult python = sandboxed(blob(), {"python3", "-c", "pass"});
    EXPECT_EQ(python.code, 0) << python.err;
}

TEST_P(Preset, GitStatus) {
    e2e::RunOptions in_work;
    in_work.cwd = work_;
    for (const e2e::Words& step : {e2e::Words{"git", "init", "-q"}, e2e::Words{"git", "status", "--short"}}) {
        if (std::string why = e2e::fails_natively(step, in_work); !why.empty()) GTEST_SKIP() << why;
    }
    RunResult status = sandboxed(blob(), {"git", "status", "--short"});
    EXPECT_EQ(status.code, 0) << status.err;
    EXPECT_NE(status.out.find("hello"), std::string::npos);
}

// git commits under a writable preset with --git and --with git: it reads
// the user's name from their own settings, which the preset otherwise hides.
TEST_P(Preset, GitCommitsWithTheUsersSettings) {
    if (!writes_work()) GTEST_SKIP() << "readonly writes nothing";
    const std::string home = scratch_ / "home";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    e2e::write_file(home + "/.gitconfig", "[user]\n\tname = Sandboxed Tester\n\temail = tester@example.org\n");
    e2e::RunOptions options;
    options.cwd = work_;
    options.env = {"HOME=" + home, "GIT_CONFIG_NOSYSTEM=1"};
    if (std::string why = e2e::fails_natively({"git", "init", "-q"}, options); !why.empty()) GTEST_SKIP() << why;
    RunResult source = tool({"preset", GetParam(), work_, "--git", "--with", "git"}, options);
    ASSERT_EQ(source.code, 0) << source.err;
    e2e::write_file(scratch_ / "git.pol", source.out);
    RunResult encoded = tool({"encode", scratch_ / "git.pol"}, options);
    ASSERT_EQ(encoded.code, 0) << encoded.err;
    RunResult commit = e2e::run(
        e2e::sandboxed(trimmed(encoded.out), {"git", "commit", "-q", "--allow-empty", "-m", "first"}), options);
    EXPECT_EQ(commit.code, 0) << commit.err;
    RunResult author = e2e::run({e2e::find_program("git"), "log", "-1", "--format=%an"}, options);
    EXPECT_EQ(author.out, "Sandboxed Tester\n") << author.err;
}

// Devices programs use: the bit bucket, randomness, the command's own
// descriptors by name, and realpath, which needs the metadata of /dev.
TEST_P(Preset, DevicesProgramsUse) {
    const e2e::Words script = {"sh", "-c",
                               "echo x > /dev/null && echo y > /dev/stdout && head -c 4 /dev/urandom > /dev/null && "
                               "realpath /dev/null"};
    if (std::string why = e2e::fails_natively(script); !why.empty()) GTEST_SKIP() << why;
    RunResult devices = sandboxed(blob(), script);
    EXPECT_EQ(devices.code, 0) << devices.err;
    EXPECT_EQ(devices.out, "y\n/dev/null\n");
}

// The node of the block device whose /sys directory is sys_dir, or "".
std::string block_device(const std::string& sys_dir) {
    std::string uevent = e2e::read_file(sys_dir + "/uevent");
    size_t name = uevent.find("DEVNAME=");
    if (name == std::string::npos) return "";
    return "/dev/" + uevent.substr(name + 8, uevent.find('\n', name) - name - 8);
}

// A command run as root must not read a hidden file off a disk itself. The
// device under / comes first; where the machine keeps even root from it,
// another block device that root may open stands in.
TEST_P(Preset, DisksStayHidden) {
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    std::vector<std::string> devices = {block_device("/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" +
                                                     std::to_string(minor(root.st_dev)))};
    if (DIR* dir = opendir("/sys/class/block"); dir != nullptr) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            devices.push_back(block_device(std::string("/sys/class/block/") + entry->d_name));
        }
        closedir(dir);
    }
    std::string why = "no block device in /sys/class/block";
    for (const std::string& device : devices) {
        if (device.empty()) continue;
        const e2e::Words read_device = {"head", "-c", "1", device};
        why = e2e::fails_natively(read_device);
        if (!why.empty()) continue;
        RunResult refused = sandboxed(blob(), read_device);
        EXPECT_NE(refused.code, 0) << device;
        EXPECT_NE(refused.err.find("No such file or directory"), std::string::npos) << refused.err;
        return;
    }
    GTEST_SKIP() << "no block device that can be opened: " << why;
}

TEST_P(Preset, PasswordHashesStayUnreadable) {
    const e2e::Words read_shadow = {"head", "-c", "1", "/etc/shadow"};
    if (std::string why = e2e::fails_natively(read_shadow); !why.empty()) GTEST_SKIP() << why;
    RunResult refused = sandboxed(blob(), read_shadow);
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.err.find("Permission denied"), std::string::npos) << refused.err;
}

INSTANTIATE_TEST_SUITE_P(Presets, Preset, ::testing::Values("readonly", "build", "workspace"));

class Workspace : public Preset {};

TEST_P(Workspace, GitDirectoryOnlyWithGit) {
    mkdir((work_ + "/.git").c_str(), 0755);
    RunResult kept = sandboxed(blob(), {"sh", "-c", "echo x > .git/new"});
    EXPECT_NE(kept.code, 0);
    EXPECT_NE(kept.err.find("Permission denied"), std::string::npos) << kept.err;
    RunResult allowed = sandboxed(blob({"--git"}), {"sh", "-c", "echo x > .git/new"});
    EXPECT_EQ(allowed.code, 0) << allowed.err;
}

INSTANTIATE_TEST_SUITE_P(Presets, Workspace, ::testing::Values("workspace"));

}  // namespace
