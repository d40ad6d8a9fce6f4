// Ways around the judged calls, seen through the probe: calls the filter
// answers itself (namespaces, mounts, io_uring, clone3, reaching into other
// processes), terminal input injection, destinations inside message headers,
// files changed through extended attributes and old time calls, signals sent
// by queue or by pidfd, a supervisor the tree cannot inspect, and calls made
// through a foreign system-call ABI, which the guard kills and which would
// otherwise not be judged at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
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

constexpr int k_killed_by_sigsys = 128 + SIGSYS;
constexpr int k_nobody = 65534;

// Expectation marks: any "OK <number>", and whatever the same call answers
// on this machine without the sandbox.
const std::string k_any_value = "OK #";
const std::string k_as_kernel = "kernel";

struct Row {
    Words op;
    std::string expected;
};

std::string joined(const Words& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

// A scratch tree: ro/ is visible, rw/ visible and writable, hidden/ neither;
// rw/link-to-ro and rw/link-to-rw are links to ro/f and rw/f.
class ScratchTree : public testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"ro", "rw", "hidden"}) ASSERT_EQ(mkdir((scratch_ / dir).c_str(), 0755), 0);
        e2e::write_file(scratch_ / "ro/f", "data\n");
        e2e::write_file(scratch_ / "rw/f", "data\n");
        ASSERT_EQ(symlink("../ro/f", (scratch_ / "rw/link-to-ro").c_str()), 0);
        ASSERT_EQ(symlink("f", (scratch_ / "rw/link-to-rw").c_str()), 0);
    }

    std::string policy(const Records& extra = {}) const {
        Records records = {{"E", scratch_ / "ro"}, {"E", scratch_ / "rw"}, {"W", scratch_ / "rw"}};
        records.insert(records.end(), extra.begin(), extra.end());
        return e2e::probe_policy(records);
    }

    // {s} stands for the scratch directory, {me} for this test's pid.
    Words expand(const Words& words) const {
        Words out;
        for (std::string word : words) {
            for (const auto& [key, value] :
                 {std::pair<std::string, std::string>{"{s}", scratch_.path()}, {"{me}", std::to_string(getpid())}}) {
                for (size_t at; (at = word.find(key)) != std::string::npos;) word.replace(at, key.size(), value);
            }
            out.push_back(word);
        }
        return out;
    }

    // Runs the rows in one sandboxed probe and compares line by line. Rows
    // expected "as the kernel" run first, in order, in a probe of their own
    // without the sandbox; a refused row changes nothing, so both runs see
    // the same files.
    void expect_rows(const std::string& blob, const std::vector<Row>& rows) {
        std::vector<Words> all;
        std::vector<Words> bare;
        for (const Row& row : rows) {
            all.push_back(expand(row.op));
            if (row.expected == k_as_kernel) bare.push_back(expand(row.op));
        }
        Words kernel;
        if (!bare.empty()) {
            Words argv = {e2e::probe_path()};
            for (const std::string& w : ops(bare)) argv.push_back(w);
            RunResult plain = e2e::run(argv);
            ASSERT_EQ(plain.code, 0) << plain.err;
            kernel = e2e::lines_of(plain.out);
            ASSERT_EQ(kernel.size(), bare.size()) << plain.out;
            // Root is refused nothing here: EACCES can only be the sandbox's.
            for (const std::string& line : kernel) ASSERT_NE(line, "ERR EACCES") << plain.out;
        }
        RunResult r = e2e::run(e2e::sandboxed_probe(blob, ops(all)));
        ASSERT_FALSE(r.timed_out);
        ASSERT_EQ(r.code, 0) << r.err;
        Words got = e2e::lines_of(r.out);
        ASSERT_EQ(got.size(), rows.size()) << r.out;
        size_t next_kernel = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            const std::string& want = rows[i].expected == k_as_kernel ? kernel[next_kernel++] : rows[i].expected;
            if (want == k_any_value) {
                EXPECT_GE(e2e::ok_value(got[i]), 0) << joined(all[i]) << ": " << got[i];
            } else {
                EXPECT_EQ(got[i], want) << joined(all[i]);
            }
        }
    }

    ScratchDir scratch_;
};

using EscapeFilter = ScratchTree;
using EscapeMessages = ScratchTree;
using EscapeFiles = ScratchTree;
using EscapeSignals = ScratchTree;

// Arguments are ones the kernel would refuse with another error, or that
// change only the probe, so EPERM comes from the filter alone and nothing
// outside changes should a call get through.
TEST_F(EscapeFilter, NamespacesAndMountsAreRefused) {
    expect_rows(policy(), {
                              {{"unshare", "CLONE_NEWUSER|CLONE_NEWNS"}, "ERR EPERM"},
                              {{"unshare", "CLONE_NEWNET"}, "ERR EPERM"},
                              {{"setns", "-1", "0"}, "ERR EPERM"},
                              {{"mount", "none", "{s}/missing", "tmpfs", "0"}, "ERR EPERM"},
                              {{"umount2", "{s}/missing", "0"}, "ERR EPERM"},
                              {{"chroot", "{s}/rw"}, "ERR EPERM"},
                              {{"pivot_root", "{s}/missing", "{s}/missing"}, "ERR EPERM"},
                              {{"open_tree", "AT_FDCWD", "{s}/ro", "0"}, "ERR EPERM"},
                              {{"open_tree_attr", "AT_FDCWD", "{s}/ro", "0"}, "ERR EPERM"},
                              {{"move_mount", "-1", "EMPTY", "-1", "EMPTY", "0"}, "ERR EPERM"},
                              {{"fsopen", "tmpfs", "0"}, "ERR EPERM"},
                              {{"fsmount", "-1", "0", "0"}, "ERR EPERM"},
                              {{"fspick", "AT_FDCWD", "{s}/ro", "0"}, "ERR EPERM"},
                              {{"mount_setattr", "-1", "EMPTY", "0"}, "ERR EPERM"},
                              {{"open_by_handle_at"}, "ERR EPERM"},
                              // clone makes processes, never namespaces.
                              {{"clone", "CLONE_NEWUSER|CLONE_NEWNS|SIGCHLD"}, "ERR EPERM"},
                              {{"clone", "CLONE_NEWPID|SIGCHLD"}, "ERR EPERM"},
                              {{"clone", "CLONE_NEWNET|CLONE_NEWUTS|CLONE_NEWIPC|SIGCHLD"}, "ERR EPERM"},
                              {{"clone", "CLONE_NEWCGROUP|SIGCHLD"}, "ERR EPERM"},
                              {{"clone", "SIGCHLD"}, "OK"},
                              {{"clone", "CLONE_FILES|CLONE_FS|SIGCHLD"}, "OK"},
                          });
}

TEST_F(EscapeFilter, MissingCallsHaveFallbacks) {
    expect_rows(policy(), {
                              {{"io_uring_setup", "1"}, "ERR ENOSYS"},
                              {{"io_uring_enter", "-1", "0", "0", "0"}, "ERR ENOSYS"},
                              {{"io_uring_register", "-1", "0", "0"}, "ERR ENOSYS"},
                              {{"pidfd_open", "self"}, k_any_value},
                              {{"save", "me"}, "OK"},
                              {{"pidfd_getfd", "me", "0"}, "ERR ENOSYS"},
                              {{"kcmp", "self", "self", "0", "0", "0"}, "ERR ENOSYS"},
                              {{"process_madvise", "me"}, "ERR ENOSYS"},
                              {{"clone3"}, "ERR ENOSYS"},
                              // libc's fork and threads get by without clone3.
                              {{"fork", "thread", "echo", "forked-and-threaded"}, "forked-and-threaded"},
                          });
}

// Standard input is /dev/null, where the kernel answers ENOTTY: EPERM is the
// filter's.
TEST_F(EscapeFilter, TerminalInputCannotBeInjected) {
    expect_rows(policy(), {
                              {{"ioctl", "0", "TIOCSTI"}, "ERR EPERM"},
                              {{"ioctl", "0", "TIOCLINUX"}, "ERR EPERM"},
                              // The kernel reads the request as 32 bits.
                              {{"ioctl", "0", "0x100005412"}, "ERR EPERM"},
                              {{"ioctl", "0", "TIOCGWINSZ"}, k_as_kernel},
                              {{"ioctl", "1", "FIONREAD"}, k_as_kernel},
                          });
}

// A UDP port on 127.0.0.1 held by the test, which counts what reaches it.
class UdpPort {
public:
    UdpPort() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in in = {};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(in);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&in), length) != 0) return;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length) == 0) port_ = ntohs(in.sin_port);
    }
    ~UdpPort() {
        if (fd_ >= 0) close(fd_);
    }
    UdpPort(const UdpPort&) = delete;
    UdpPort& operator=(const UdpPort&) = delete;
    std::string port() const { return std::to_string(port_); }
    bool ok() const { return port_ > 0; }
    // Datagrams queued so far (loopback delivers them within the send).
    int drain() const {
        char buffer[64];
        int count = 0;
        while (recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT) >= 0) ++count;
        return count;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(EscapeMessages, DestinationsInsideMessageHeadersAreJudged) {
    UdpPort allowed;
    UdpPort refused;
    ASSERT_TRUE(allowed.ok() && refused.ok());
    const std::string yes = allowed.port();
    const std::string no = refused.port();
    expect_rows(policy({{"L", yes}}),
                {
                    {{"sendmsg", "inet", "127.0.0.1", yes}, "OK 5"},
                    {{"sendmsg", "inet", "127.0.0.1", no}, "ERR EACCES"},
                    {{"sendmsg", "unix", "{s}/hidden/socket"}, "ERR EACCES"},
                    {{"sendmsg_noname"}, "OK 5"},
                    {{"sendmmsg", "inet", "127.0.0.1", yes, "inet", "127.0.0.1", yes}, "OK 2"},
                    // One refused destination refuses the whole call.
                    {{"sendmmsg", "inet", "127.0.0.1", yes, "inet", "127.0.0.1", no}, "ERR EACCES"},
                    {{"sendmmsg", "inet", "127.0.0.1", no, "inet", "127.0.0.1", yes}, "ERR EACCES"},
                });
    EXPECT_EQ(allowed.drain(), 3);
    EXPECT_EQ(refused.drain(), 0);
}

// Inside the write area the kernel answers (ext4 takes user attributes,
// tmpfs before 6.6 does not, no file system takes them on a link, and older
// kernels lack the *at calls); elsewhere the sandbox refuses.
TEST_F(EscapeFiles, ExtendedAttributesAreWrites) {
    const std::string ro = scratch_ / "ro/f";
    bool takes_user_attributes = setxattr(ro.c_str(), "user.sandbox", "0", 1, 0) == 0;
    expect_rows(
        policy(),
        {
            {{"setxattr", "{s}/rw/f", "user.sandbox", "1"}, k_as_kernel},
            {{"removexattr", "{s}/rw/f", "user.sandbox"}, k_as_kernel},
            {{"lsetxattr", "{s}/rw/f", "user.sandbox", "1"}, k_as_kernel},
            {{"lremovexattr", "{s}/rw/f", "user.sandbox"}, k_as_kernel},
            {{"lsetxattr", "{s}/rw/link-to-rw", "user.sandbox", "1"}, k_as_kernel},
            {{"lremovexattr", "{s}/rw/link-to-rw", "user.sandbox"}, k_as_kernel},
            {{"setxattrat", "AT_FDCWD", "{s}/rw/f", "0", "user.sandbox", "1"}, k_as_kernel},
            {{"removexattrat", "AT_FDCWD", "{s}/rw/f", "0", "user.sandbox"}, k_as_kernel},
            {{"setxattrat", "AT_FDCWD", "{s}/rw/link-to-rw", "AT_SYMLINK_NOFOLLOW", "user.sandbox", "1"}, k_as_kernel},
            {{"file_setattr", "AT_FDCWD", "{s}/rw/f", "0"}, k_as_kernel},
            {{"setxattr", "{s}/ro/f", "user.sandbox", "1"}, "ERR EACCES"},
            {{"lsetxattr", "{s}/ro/f", "user.sandbox", "1"}, "ERR EACCES"},
            {{"removexattr", "{s}/ro/f", "user.sandbox"}, "ERR EACCES"},
            {{"lremovexattr", "{s}/ro/f", "user.sandbox"}, "ERR EACCES"},
            {{"setxattr", "{s}/hidden", "user.sandbox", "1"}, "ERR EACCES"},
            // A write is judged where a link leads too, followed or not.
            {{"setxattr", "{s}/rw/link-to-ro", "user.sandbox", "1"}, "ERR EACCES"},
            {{"removexattr", "{s}/rw/link-to-ro", "user.sandbox"}, "ERR EACCES"},
            {{"lsetxattr", "{s}/rw/link-to-ro", "user.sandbox", "1"}, "ERR EACCES"},
            {{"lremovexattr", "{s}/rw/link-to-ro", "user.sandbox"}, "ERR EACCES"},
            {{"setxattrat", "AT_FDCWD", "{s}/rw/link-to-ro", "0", "user.sandbox", "1"}, "ERR EACCES"},
            {{"setxattrat", "AT_FDCWD", "{s}/rw/link-to-ro", "AT_SYMLINK_NOFOLLOW", "user.sandbox", "1"}, "ERR EACCES"},
            {{"setxattrat", "AT_FDCWD", "{s}/ro/f", "0", "user.sandbox", "1"}, "ERR EACCES"},
            {{"removexattrat", "AT_FDCWD", "{s}/ro/f", "0", "user.sandbox"}, "ERR EACCES"},
            {{"file_setattr", "AT_FDCWD", "{s}/ro/f", "0"}, "ERR EACCES"},
        });
    if (takes_user_attributes) {
        char value[8] = {};
        EXPECT_EQ(getxattr(ro.c_str(), "user.sandbox", value, sizeof(value)), 1);
        EXPECT_EQ(value[0], '0');
    }
}

TEST_F(EscapeFiles, OldTimeCallsAreWrites) {
    if (k_is_aarch64) GTEST_SKIP() << "utime, utimes and futimesat exist on x86-64 only";
    const std::string ro = scratch_ / "ro/f";
    const timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(ro.c_str(), long_ago), 0);
    expect_rows(policy(), {
                              {{"utime", "{s}/rw/f"}, "OK"},
                              {{"utimes", "{s}/rw/f"}, "OK"},
                              {{"futimesat", "AT_FDCWD", "{s}/rw/f"}, "OK"},
                              {{"utime", "{s}/ro/f"}, "ERR EACCES"},
                              {{"utimes", "{s}/ro/f"}, "ERR EACCES"},
                              {{"utimes", "{s}/rw/link-to-ro"}, "ERR EACCES"},
                              {{"futimesat", "AT_FDCWD", "{s}/ro/f"}, "ERR EACCES"},
                              {{"open", "{s}/ro", "O_RDONLY|O_DIRECTORY"}, k_any_value},
                              {{"save", "ro"}, "OK"},
                              {{"futimesat", "ro", "f"}, "ERR EACCES"},
                              // Without a path the descriptor's own file is judged.
                              {{"open", "{s}/ro/f", "O_RDONLY"}, k_any_value},
                              {{"save", "ro_file"}, "OK"},
                              {{"futimesat", "ro_file", "NULL"}, "ERR EACCES"},
                              {{"open", "{s}/rw/f", "O_RDONLY"}, k_any_value},
                              {{"save", "rw_file"}, "OK"},
                              {{"futimesat", "rw_file", "NULL"}, "OK"},
                          });
    struct stat st;
    ASSERT_EQ(stat(ro.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

// "parent" is the supervisor, {me} this test: both outside the tree.
TEST_F(EscapeSignals, QueuedAndPidfdSignalsReachOnlyTheTree) {
    expect_rows(policy(), {
                              {{"rt_sigqueueinfo", "self", "0"}, "OK"},
                              {{"rt_sigqueueinfo", "parent", "0"}, "ERR EPERM"},
                              {{"rt_sigqueueinfo", "{me}", "0"}, "ERR EPERM"},
                              {{"rt_sigqueueinfo", "1", "0"}, "ERR EPERM"},
                              {{"rt_tgsigqueueinfo", "self", "tid", "0"}, "OK"},
                              {{"rt_tgsigqueueinfo", "parent", "parent", "0"}, "ERR EPERM"},
                              {{"rt_tgsigqueueinfo", "{me}", "{me}", "0"}, "ERR EPERM"},
                              {{"pidfd_open", "self"}, k_any_value},
                              {{"save", "me"}, "OK"},
                              {{"pidfd_send_signal", "me", "0"}, "OK"},
                              {{"pidfd_open", "parent"}, k_any_value},
                              {{"save", "supervisor"}, "OK"},
                              {{"pidfd_send_signal", "supervisor", "0"}, "ERR EPERM"},
                              {{"pidfd_open", "{me}"}, k_any_value},
                              {{"save", "outsider"}, "OK"},
                              {{"pidfd_send_signal", "outsider", "0"}, "ERR EPERM"},
                              // Not a pidfd (the kernel would say EBADF).
                              {{"pidfd_send_signal", "0", "0"}, "ERR EPERM"},
                              // The rest runs in a child, whose parent is in the tree.
                              {{"fork", "rt_sigqueueinfo", "parent", "0"}, "OK"},
                              {{"pidfd_open", "parent"}, k_any_value},
                              {{"save", "probe"}, "OK"},
                              {{"pidfd_send_signal", "probe", "0"}, "OK"},
                          });
}

// True when every directory on the way to file lets others through and the
// file lets them run it.
bool others_can_run(const std::string& file) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    for (size_t slash = file.rfind('/'); slash != std::string::npos; slash = file.rfind('/', slash - 1)) {
        std::string dir = slash == 0 ? "/" : file.substr(0, slash);
        if (stat(dir.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
        if (slash == 0) break;
    }
    return true;
}

// The owner of a process's descriptor directory. The /proc/<pid> directory
// itself always shows the process's user; the entries inside it belong to
// root while the process is not dumpable.
uid_t owner_of_descriptors(long pid) {
    struct stat st;
    return stat(("/proc/" + std::to_string(pid) + "/fd").c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// The tree runs as the supervisor's user, so only non-dumpability keeps it
// from attaching to the supervisor or copying its listener; /proc shows it
// by giving a non-dumpable process's entries to root. Run as root, they
// would belong to root anyway, hence another user.
TEST(EscapeSupervisor, IsNotDumpable) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the sandbox as another user";
    for (const std::string& program : {e2e::sandbox_path(), e2e::probe_path()}) {
        if (!others_can_run(program)) {
            GTEST_SKIP() << program << " cannot be run by uid " << k_nobody << " (a directory on its way lacks o+x)";
        }
    }
    RunOptions as_nobody;
    as_nobody.run_as_uid = k_nobody;
    as_nobody.cwd = "/";
    Process launcher(e2e::sandboxed_probe(e2e::probe_policy(), ops({{"pid"},
                                                                    {"ppid"},
                                                                    {"pidfd_open", "parent"},
                                                                    {"save", "supervisor"},
                                                                    {"pidfd_getfd", "supervisor", "0"},
                                                                    {"ready"},
                                                                    {"pause"}})),
                     as_nobody);
    Words seen;
    ASSERT_TRUE(launcher.read_until("READY", &seen)) << launcher.finish().err;
    ASSERT_EQ(seen.size(), 5u);
    long probe = e2e::ok_value(seen[0]);
    long supervisor = e2e::ok_value(seen[1]);
    ASSERT_GT(probe, 1);
    ASSERT_GT(supervisor, 1);
    EXPECT_EQ(seen[4], "ERR ENOSYS");
    std::string status = e2e::read_file("/proc/" + std::to_string(supervisor) + "/status");
    EXPECT_NE(status.find("\nUid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << status;
    EXPECT_EQ(owner_of_descriptors(supervisor), 0u);
    EXPECT_EQ(owner_of_descriptors(launcher.pid()), static_cast<uid_t>(k_nobody));
    EXPECT_EQ(owner_of_descriptors(probe), static_cast<uid_t>(k_nobody));
    launcher.signal(SIGTERM);
    EXPECT_EQ(launcher.finish().code, 128 + SIGTERM);
}

// ---- foreign system-call ABIs -------------------------------------------------

struct AbiCase {
    const char* name;
    bool x86_64;          // else AArch64
    const char* program;  // in the bin directory
    Words words;          // {target}: the file to create
    const char* unsupported;
};

std::string case_name(const testing::TestParamInfo<AbiCase>& param) {
    return param.param.name;
}

class EscapeForeignAbi : public ScratchTree, public testing::WithParamInterface<AbiCase> {
protected:
    Words command(const std::string& target) const {
        const std::string program = GetParam().program;
        Words argv = {program == "probe" ? e2e::probe_path() : e2e::bin_dir() + "/" + program};
        for (const std::string& w : GetParam().words) argv.push_back(w == "{target}" ? target : w);
        return argv;
    }
    // Run in the scratch directory, where a core dump of a killed one would go.
    RunResult run(const Words& argv) const {
        RunOptions options;
        options.cwd = scratch_.path();
        return e2e::run(argv, options);
    }
};

// The file is created under hidden/, which the policy neither shows nor
// lets anyone write: the guard kills the call, and without the guard the
// foreign number means another, untrapped call, so the file appears.
TEST_P(EscapeForeignAbi, KilledByTheGuardUncheckedWithout) {
    const AbiCase& c = GetParam();
    if (c.x86_64 == k_is_aarch64) GTEST_SKIP() << c.name << " belongs to the other architecture";
    if (!e2e::file_exists(command("")[0])) GTEST_SKIP() << c.program << " was not built (no compiler for it)";
    const std::string check = scratch_ / "check";
    RunResult bare = run(command(check));
    if (bare.code != 0 || !e2e::file_exists(check)) {
        std::string said = bare.out + bare.err;
        while (!said.empty() && said.back() == '\n') said.pop_back();
        GTEST_SKIP() << c.unsupported << " (unsandboxed: status " << bare.code << (said.empty() ? "" : ", ") << said
                     << ")";
    }

    const std::string target = scratch_ / "hidden/x";
    RunResult guarded = run(e2e::sandboxed(policy(), command(target)));
    EXPECT_EQ(guarded.code, k_killed_by_sigsys) << guarded.out << guarded.err;
    EXPECT_FALSE(e2e::file_exists(target));

    Words unguarded = {e2e::bin_dir() + "/sandbox_noguard", "--policy", policy(), "--"};
    for (const std::string& w : command(target)) unguarded.push_back(w);
    RunResult open_door = run(unguarded);
    EXPECT_EQ(open_door.code, 0) << open_door.out << open_door.err;
    EXPECT_TRUE(e2e::file_exists(target));
}

INSTANTIATE_TEST_SUITE_P(
    Escape, EscapeForeignAbi,
    testing::Values(
        AbiCase{"int80",
                true,
                "probe",
                {"int80_creat", "{target}"},
                "this kernel runs no i386 calls (IA-32 emulation off)"},
        AbiCase{"i386_program", true, "i386_creat", {"{target}"}, "this kernel runs no i386 programs"},
        AbiCase{"x32",
                true,
                "probe",
                {"x32_creat", "{target}"},
                "this kernel takes no x32 calls (Debian's cloud kernels lack them, its generic "
                "ones need syscall.x32=y)"},
        AbiCase{"arm32_program", false, "arm32_creat", {"{target}"}, "this kernel or CPU runs no AArch32 programs"}),
    case_name);

}  // namespace
