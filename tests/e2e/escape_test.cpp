// Ways around the judged calls, seen through the probe: calls the filter
// answers itself (namespaces, mounts, io_uring, clone3, reaching into other
// processes), terminal input injection, destinations inside message headers,
// files changed through extended attributes and old time calls, signals sent
// by queue or by pidfd, a supervisor the tree cannot inspect, and calls made
// through a foreign system-call ABI, which the guard kills and which would
// otherwise not be judged at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>
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

// A sandbox built with the leak checker, run inside another, would fail its
// check at exit: the check stops threads with ptrace.
RunOptions nested_options() {
    RunOptions options;
    options.env = {"ASAN_OPTIONS=detect_leaks=0"};
    return options;
}

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

    // {s} stands for the scratch directory, {me} for this test's pid, and
    // each name in vars_ for its value.
    Words expand(const Words& words) const {
        std::vector<std::pair<std::string, std::string>> names = {{"{s}", scratch_.path()},
                                                                  {"{me}", std::to_string(getpid())}};
        names.insert(names.end(), vars_.begin(), vars_.end());
        Words out;
        for (std::string word : words) {
            for (const auto& [key, value] : names) {
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
    // With around set, the sandbox runs inside a sandbox of that policy.
    void expect_rows(const std::string& blob, const std::vector<Row>& rows, const std::string& around = "") {
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
        Words argv = e2e::sandboxed_probe(blob, ops(all));
        if (!around.empty()) argv = e2e::sandboxed(around, argv);
        RunResult r = e2e::run(argv, nested_options());
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
    std::vector<std::pair<std::string, std::string>> vars_;
};

// A process outside the sandbox tree to aim at: {out} is its pid.
class WithOutsider : public ScratchTree {
protected:
    void SetUp() override {
        ScratchTree::SetUp();
        vars_.push_back({"{out}", std::to_string(outsider_.pid())});
    }
    Process outsider_{{e2e::probe_path(), "pause"}};
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
        // Room for every datagram of a race (the test runs as root).
        const int room = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room));
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

// ---- calls on other processes, owners, limits ----------------------------------

using EscapeProcesses = WithOutsider;

// The calls that act on a process by pid reach only the tree: {out} is a
// process outside it. Pid 0, the caller itself, runs unchecked. The user
// forms of the priority calls would reach every process of a user: uid
// 65533 owns none here, so nothing changes should one get through.
TEST_F(EscapeProcesses, CallsOnAnotherProcessAreJudged) {
    expect_rows(policy(), {
                              {{"call", "sched_setaffinity", "{out}", "8", "l:1"}, "ERR EPERM"},
                              {{"call", "sched_setaffinity", "0", "8", "b:8"}, k_as_kernel},
                              {{"call", "sched_setscheduler", "{out}", "0", "b:8"}, "ERR EPERM"},
                              {{"call", "sched_setparam", "{out}", "b:8"}, "ERR EPERM"},
                              {{"call", "sched_setattr", "{out}", "b:56", "0"}, "ERR EPERM"},
                              {{"call", "setpriority", "PRIO_PROCESS", "{out}", "5"}, "ERR EPERM"},
                              {{"call", "setpriority", "PRIO_PROCESS", "0", "0"}, k_as_kernel},
                              {{"call", "setpriority", "PRIO_USER", "65533", "5"}, "ERR EPERM"},
                              {{"call", "ioprio_set", "1", "{out}", "0x4004"}, "ERR EPERM"},
                              {{"call", "ioprio_set", "3", "65533", "0x4004"}, "ERR EPERM"},
                              {{"call", "prlimit64", "{out}", "RLIMIT_NOFILE", "0", "b:16"}, "ERR EPERM"},
                              {{"call", "prlimit64", "0", "RLIMIT_NOFILE", "0", "b:16"}, k_as_kernel},
                              {{"call", "get_robust_list", "{out}", "b:8", "b:8"}, "ERR EPERM"},
                              {{"call", "get_robust_list", "0", "b:8", "b:8"}, k_as_kernel},
                              {{"call", "migrate_pages", "{out}", "64", "b:8", "b:8"}, "ERR EPERM"},
                              {{"call", "move_pages", "{out}", "0", "0", "0", "0", "0"}, "ERR EPERM"},
                              {{"call", "perf_event_open", "b:128", "{out}", "-1", "-1", "0"}, "ERR EPERM"},
                              {{"call", "perf_event_open", "b:128", "-1", "0", "-1", "0"}, "ERR EPERM"},
                              {{"call", "perf_event_open", "b:128", "0", "-1", "-1", "4"}, "ERR EPERM"},
                              {{"pidfd_open", "{out}"}, k_any_value},
                              {{"save", "outsider"}, "OK"},
                              {{"call", "process_mrelease", "outsider", "0"}, "ERR EPERM"},
                          });
}

// F_SETOWN, F_SETOWN_EX, FIOSETOWN and SIOCSPGRP name the process the
// kernel sends SIGIO and SIGURG to, whose default action ends it. The
// caller itself and process groups (negative, or F_OWNER_PGRP) pass, as
// they do for kill.
TEST_F(EscapeProcesses, SignalOwnersAreJudged) {
    expect_rows(policy(), {
                              {{"call", "socket", "AF_UNIX", "SOCK_STREAM", "0"}, k_any_value},
                              {{"save", "sock"}, "OK"},
                              {{"call", "fcntl", "sock", "F_SETOWN", "{out}"}, "ERR EPERM"},
                              {{"call", "fcntl", "sock", "F_SETOWN", "self"}, "OK 0"},
                              {{"call", "fcntl", "sock", "F_SETOWN", "-1"}, "OK 0"},
                              {{"call", "fcntl", "sock", "F_SETOWN_EX", "i:F_OWNER_PID,{out}"}, "ERR EPERM"},
                              {{"call", "fcntl", "sock", "F_SETOWN_EX", "i:F_OWNER_TID,{out}"}, "ERR EPERM"},
                              {{"call", "fcntl", "sock", "F_SETOWN_EX", "i:F_OWNER_PID,self"}, "OK 0"},
                              {{"call", "fcntl", "sock", "F_SETOWN_EX", "i:F_OWNER_PGRP,1"}, "OK 0"},
                              {{"call", "ioctl", "sock", "FIOSETOWN", "i:{out}"}, "ERR EPERM"},
                              {{"call", "ioctl", "sock", "FIOSETOWN", "i:self"}, "OK 0"},
                              {{"call", "ioctl", "sock", "SIOCSPGRP", "i:{out}"}, "ERR EPERM"},
                          });
}

// The core size is 0 from the start; a process may lower it or read it,
// but never raise it again (root could, for the hard limit).
TEST_F(EscapeProcesses, CoreSizeIsNeverRaised) {
    expect_rows(policy(), {
                              {{"call", "setrlimit", "RLIMIT_CORE", "l:4096,4096"}, "ERR EPERM"},
                              {{"call", "setrlimit", "RLIMIT_CORE", "l:0,4096"}, "ERR EPERM"},
                              {{"call", "prlimit64", "0", "RLIMIT_CORE", "l:4096,4096", "0"}, "ERR EPERM"},
                              {{"call", "setrlimit", "RLIMIT_CORE", "l:0,0"}, "OK 0"},
                              {{"call", "prlimit64", "0", "RLIMIT_CORE", "0", "b:16"}, "OK 0"},
                              {{"call", "setrlimit", "RLIMIT_NOFILE", "l:64,64"}, "OK 0"},
                          });
}

// ---- keyrings, raw sockets, root's routes, stalls -------------------------------

TEST_F(EscapeFilter, KeyringsRawSocketsAndRootsRoutesAreRefused) {
    expect_rows(policy(), {
                              {{"call", "keyctl", "0", "0"}, "ERR ENOSYS"},
                              {{"call", "add_key", "s:user", "s:k", "s:v", "1", "-4"}, "ERR ENOSYS"},
                              {{"call", "request_key", "s:user", "s:k", "0", "-4"}, "ERR ENOSYS"},
                              {{"call", "socket", "AF_INET", "SOCK_RAW", "1"}, "ERR EPERM"},
                              {{"call", "socket", "AF_INET", "SOCK_RAW|SOCK_CLOEXEC", "17"}, "ERR EPERM"},
                              {{"call", "socket", "AF_INET6", "SOCK_RAW", "58"}, "ERR EPERM"},
                              {{"call", "socket", "AF_INET", "SOCK_PACKET", "0"}, "ERR EPERM"},
                              {{"call", "socket", "AF_PACKET", "SOCK_DGRAM", "0"}, "ERR EPERM"},
                              {{"call", "socket", "AF_INET", "SOCK_DGRAM", "0"}, k_any_value},
                              {{"call", "fanotify_init", "0", "0"}, "ERR EPERM"},
                              {{"call", "acct", "s:{s}/rw/accounting"}, "ERR EPERM"},
                              {{"call", "userfaultfd", "0"}, "ERR EPERM"},
                              // Visible and writable as the rest of /dev is here.
                              {{"openat", "AT_FDCWD", "/dev/userfaultfd", "O_RDWR"}, "ERR EACCES"},
                          });
}

// ---- files reached through other calls --------------------------------------------

// These calls tell whether a hidden path exists (and chdir lets relative
// paths start there): judged as looking at metadata.
TEST_F(EscapeFiles, HiddenPathsStayUnseen) {
    expect_rows(policy(),
                {
                    {{"call", "chdir", "s:{s}/hidden"}, "ERR EACCES"},
                    {{"call", "statfs", "s:{s}/hidden", "b:120"}, "ERR EACCES"},
                    {{"call", "getxattr", "s:{s}/hidden", "s:user.x", "b:64", "64"}, "ERR EACCES"},
                    {{"call", "lgetxattr", "s:{s}/hidden", "s:user.x", "b:64", "64"}, "ERR EACCES"},
                    {{"call", "listxattr", "s:{s}/hidden", "b:64", "64"}, "ERR EACCES"},
                    {{"call", "llistxattr", "s:{s}/hidden", "b:64", "64"}, "ERR EACCES"},
                    // Refused before a kernel without them could say ENOSYS.
                    {{"call", "getxattrat", "AT_FDCWD", "s:{s}/hidden", "0", "s:user.x", "0", "0"}, "ERR EACCES"},
                    {{"call", "listxattrat", "AT_FDCWD", "s:{s}/hidden", "0", "b:64", "64"}, "ERR EACCES"},
                    {{"call", "name_to_handle_at", "AT_FDCWD", "s:{s}/hidden", "b:136", "b:4", "0"}, "ERR EACCES"},
                    {{"inotify_init"}, k_any_value},
                    {{"save", "watcher"}, "OK"},
                    {{"call", "inotify_add_watch", "watcher", "s:{s}/hidden", "IN_MODIFY"}, "ERR EACCES"},
                    {{"call", "inotify_add_watch", "watcher", "s:{s}/ro/f", "IN_MODIFY"}, k_any_value},
                    {{"call", "statfs", "s:{s}/ro", "b:120"}, "OK 0"},
                    {{"call", "getxattr", "s:{s}/ro/f", "s:user.x", "b:64", "64"}, k_as_kernel},
                    {{"call", "chdir", "s:{s}/ro"}, "OK 0"},
                });
}

// fchmod, fchown and the descriptor forms of the attribute calls change a
// file through any descriptor, even one opened for reading: judged as
// writes of the file the descriptor holds.
TEST_F(EscapeFiles, ChangesThroughReadOnlyDescriptorsAreWrites) {
    expect_rows(policy(), {
                              {{"openat", "AT_FDCWD", "{s}/ro/f", "O_RDONLY"}, k_any_value},
                              {{"save", "ro"}, "OK"},
                              {{"call", "fchmod", "ro", "0600"}, "ERR EACCES"},
                              {{"call", "fchown", "ro", "-1", "-1"}, "ERR EACCES"},
                              {{"call", "fsetxattr", "ro", "s:user.sandbox", "s:1", "1", "0"}, "ERR EACCES"},
                              {{"call", "fremovexattr", "ro", "s:user.sandbox"}, "ERR EACCES"},
                              {{"call", "ioctl", "ro", "FS_IOC_SETFLAGS", "i:0"}, "ERR EACCES"},
                              {{"call", "ioctl", "ro", "FS_IOC_FSSETXATTR", "b:28"}, "ERR EACCES"},
                              {{"openat", "AT_FDCWD", "{s}/rw/f", "O_RDONLY"}, k_any_value},
                              {{"save", "rw"}, "OK"},
                              {{"call", "fchmod", "rw", "0644"}, "OK 0"},
                              {{"call", "fchown", "rw", "-1", "-1"}, "OK 0"},
                              // No descriptor: the kernel's own answer.
                              {{"call", "fchmod", "999", "0644"}, "ERR EBADF"},
                              {{"call", "fchown", "999", "-1", "-1"}, "ERR EBADF"},
                              {{"call", "fchmodat", "999", "s:f", "0644", "0"}, "ERR EBADF"},
                          });
    struct stat status;
    ASSERT_EQ(stat((scratch_ / "ro/f").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

// A local socket's name is a file that bind makes.
TEST_F(EscapeFiles, BindingALocalNameIsAWrite) {
    expect_rows(policy(), {
                              {{"bind_unix", "{s}/ro/socket"}, "ERR EACCES"},
                              {{"bind_unix", "{s}/hidden/socket"}, "ERR EACCES"},
                              {{"bind_unix", "{s}/rw/socket"}, "OK"},
                          });
    EXPECT_FALSE(e2e::file_exists(scratch_ / "ro/socket"));
    EXPECT_FALSE(e2e::file_exists(scratch_ / "hidden/socket"));
}

// ---- inter-process objects --------------------------------------------------------

// Objects of another program of the same user, made here without the
// sandbox: a System V shared memory segment, semaphore set and message
// queue, a POSIX message queue and a POSIX shared memory object. The tree
// reaches none of them, and all of its own.
class EscapeIpc : public ScratchTree {
protected:
    void SetUp() override {
        ScratchTree::SetUp();
        const int tag = getpid() & 0xffff;
        outside_shm_ = shmget(0x5b000000 | tag, 4096, IPC_CREAT | IPC_EXCL | 0666);
        outside_sem_ = semget(0x5c000000 | tag, 1, IPC_CREAT | IPC_EXCL | 0666);
        outside_msg_ = msgget(0x5d000000 | tag, IPC_CREAT | IPC_EXCL | 0666);
        if (outside_shm_ < 0 || outside_sem_ < 0 || outside_msg_ < 0) GTEST_SKIP() << "keys of this test are taken";
        queue_ = "sandbox-test-out-" + std::to_string(getpid());
        own_queue_ = "sandbox-test-own-" + std::to_string(getpid());
        mqd_t queue = mq_open(("/" + queue_).c_str(), O_CREAT | O_EXCL | O_RDWR, 0666, nullptr);
        if (queue == static_cast<mqd_t>(-1)) GTEST_SKIP() << "no POSIX message queues here";
        mq_close(queue);
        shm_file_ = "/dev/shm/sandbox-test-out-" + std::to_string(getpid());
        own_shm_file_ = "/dev/shm/sandbox-test-own-" + std::to_string(getpid());
        e2e::write_file(shm_file_, "other program's\n", 0666);
        vars_ = {{"{shmkey}", std::to_string(0x5b000000 | tag)},
                 {"{semkey}", std::to_string(0x5c000000 | tag)},
                 {"{msgkey}", std::to_string(0x5d000000 | tag)},
                 {"{ownkey}", std::to_string(0x5e000000 | tag)},
                 {"{shmid}", std::to_string(outside_shm_)},
                 {"{semid}", std::to_string(outside_sem_)},
                 {"{msqid}", std::to_string(outside_msg_)},
                 {"{queue}", queue_},
                 {"{own_queue}", own_queue_},
                 {"{shm_file}", shm_file_},
                 {"{own_shm_file}", own_shm_file_}};
    }
    void TearDown() override {
        if (outside_shm_ >= 0) shmctl(outside_shm_, IPC_RMID, nullptr);
        if (outside_sem_ >= 0) semctl(outside_sem_, 0, IPC_RMID);
        if (outside_msg_ >= 0) msgctl(outside_msg_, IPC_RMID, nullptr);
        int own = shmget(0x5e000000 | (getpid() & 0xffff), 0, 0);
        if (own >= 0) shmctl(own, IPC_RMID, nullptr);
        for (const std::string& name : {queue_, own_queue_}) {
            if (!name.empty()) mq_unlink(("/" + name).c_str());
        }
        for (const std::string& file : {shm_file_, own_shm_file_}) {
            if (!file.empty()) unlink(file.c_str());
        }
    }

    int outside_shm_ = -1;
    int outside_sem_ = -1;
    int outside_msg_ = -1;
    std::string queue_;
    std::string own_queue_;
    std::string shm_file_;
    std::string own_shm_file_;
};

TEST_F(EscapeIpc, OnlyTheTreesOwnObjectsAreReachable) {
    expect_rows(policy({{"W", "/dev/shm"}}),
                {
                    // System V, another program's, by key and by id; its
                    // metadata is what /proc/sysvipc shows anyway.
                    {{"call", "shmget", "{shmkey}", "0", "0"}, "ERR EACCES"},
                    {{"call", "shmat", "{shmid}", "0", "0"}, "ERR EACCES"},
                    {{"call", "shmctl", "{shmid}", "IPC_RMID", "0"}, "ERR EACCES"},
                    {{"call", "shmctl", "{shmid}", "IPC_STAT", "b:112"}, "OK 0"},
                    {{"call", "semget", "{semkey}", "0", "0"}, "ERR EACCES"},
                    {{"call", "semop", "{semid}", "i:0,1,2048", "1"}, "ERR EACCES"},
                    {{"call", "msgget", "{msgkey}", "0"}, "ERR EACCES"},
                    {{"call", "msgsnd", "{msqid}", "l:1,0", "8", "2048"}, "ERR EACCES"},
                    {{"call", "msgrcv", "{msqid}", "b:64", "8", "0", "2048"}, "ERR EACCES"},
                    // The tree's own, keyed and private.
                    {{"call", "shmget", "{ownkey}", "4096", "IPC_CREAT|IPC_EXCL|0600"}, k_any_value},
                    {{"save", "own"}, "OK"},
                    {{"call", "shmget", "{ownkey}", "0", "0"}, k_any_value},
                    {{"call", "shmat", "own", "0", "0"}, k_any_value},
                    {{"call", "shmctl", "own", "IPC_RMID", "0"}, "OK 0"},
                    {{"call", "msgget", "IPC_PRIVATE", "0600"}, k_any_value},
                    {{"save", "queue"}, "OK"},
                    {{"call", "msgsnd", "queue", "l:1,0", "8", "0"}, "OK 0"},
                    {{"call", "msgrcv", "queue", "b:64", "8", "0", "0"}, "OK 8"},
                    {{"call", "msgctl", "queue", "IPC_RMID", "0"}, "OK 0"},
                    {{"call", "semget", "IPC_PRIVATE", "1", "0600"}, k_any_value},
                    {{"save", "set"}, "OK"},
                    {{"call", "semop", "set", "i:0,1,0", "1"}, "OK 0"},
                    {{"call", "semctl", "set", "0", "IPC_RMID", "0"}, "OK 0"},
                    // POSIX message queues.
                    {{"call", "mq_open", "s:{queue}", "O_RDONLY", "0", "0"}, "ERR EACCES"},
                    {{"call", "mq_unlink", "s:{queue}"}, "ERR EACCES"},
                    {{"call", "mq_open", "s:{own_queue}", "O_CREAT|O_EXCL|O_RDWR", "0600", "0"}, k_any_value},
                    {{"call", "mq_open", "s:{own_queue}", "O_RDONLY", "0", "0"}, k_any_value},
                    {{"call", "mq_unlink", "s:{own_queue}"}, "OK 0"},
                    // POSIX shared memory, in a /dev/shm the policy lets it write.
                    {{"openat", "AT_FDCWD", "{shm_file}", "O_RDONLY"}, "ERR EACCES"},
                    {{"newfstatat", "AT_FDCWD", "{shm_file}", "0"}, "ERR EACCES"},
                    {{"unlinkat", "AT_FDCWD", "{shm_file}", "0"}, "ERR EACCES"},
                    {{"openat", "AT_FDCWD", "{own_shm_file}", "O_CREAT|O_EXCL|O_RDWR", "0600"}, k_any_value},
                    {{"openat", "AT_FDCWD", "{own_shm_file}", "O_RDONLY"}, k_any_value},
                    {{"unlinkat", "AT_FDCWD", "{own_shm_file}", "0"}, "OK"},
                });
    EXPECT_EQ(e2e::read_file(shm_file_), "other program's\n");
    shmid_ds status;
    EXPECT_EQ(shmctl(outside_shm_, IPC_STAT, &status), 0);
}

// An IPv4 socket sends a datagram addressed AF_UNSPEC as AF_INET: the
// address is judged so. Here the port is one the policy refuses, of a
// socket this test bound.
TEST_F(EscapeMessages, AnUnspecifiedFamilyIsJudgedAsTheSocketWillSendIt) {
    int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    char datagram[16];
    // Without the sandbox the datagram arrives.
    RunResult bare = e2e::run({e2e::probe_path(), "sendto_unspec", "inet", "127.0.0.1", port});
    ASSERT_EQ(bare.out, "OK 5\n");
    ASSERT_EQ(recv(receiver, datagram, sizeof(datagram), 0), 5);
    expect_rows(policy(), {
                              {{"sendto_unspec", "inet", "127.0.0.1", port}, "ERR EACCES"},
                              {{"sendto", "inet", "127.0.0.1", port}, "ERR EACCES"},
                          });
    EXPECT_LT(recv(receiver, datagram, sizeof(datagram), 0), 0);
    close(receiver);
}

// ---- what the kernel runs for an execution ------------------------------------------

// A script's interpreter and an ELF program's loader are opened by the
// kernel itself, with the rights of an execution: judged as executions.
TEST_F(EscapeFiles, InterpretersAreJudgedAsExecutions) {
    const std::string shell = e2e::find_program("sh");
    ASSERT_FALSE(shell.empty());
    for (const char* copy : {"hidden/sh", "ro/sh"}) {
        e2e::write_file(scratch_ / copy, e2e::read_file(shell), 0755);
    }
    e2e::write_file(scratch_ / "ro/hidden-interpreter", "#!" + scratch_ / "hidden/sh" + "\nexit 0\n", 0755);
    e2e::write_file(scratch_ / "ro/visible-interpreter", "#!" + scratch_ / "ro/sh" + "\nexit 0\n", 0755);
    e2e::write_file(scratch_ / "ro/nested", "#!" + scratch_ / "ro/hidden-interpreter" + "\n", 0755);
    // Without the sandbox each of them runs.
    for (const char* script : {"ro/hidden-interpreter", "ro/nested"}) {
        ASSERT_EQ(e2e::run({scratch_ / script}).code, 0) << script;
    }
    for (const char* script : {"ro/hidden-interpreter", "ro/nested"}) {
        RunResult r = e2e::run(e2e::sandboxed_probe(policy(), {"execve", scratch_ / script}));
        EXPECT_EQ(r.out, "ERR EACCES\n") << script;
    }
    RunResult visible = e2e::run(e2e::sandboxed_probe(policy(), {"execve", scratch_ / "ro/visible-interpreter"}));
    EXPECT_EQ(visible.code, 0) << visible.out << visible.err;
    EXPECT_EQ(visible.out, "");
}

// The loader a dynamic program names (PT_INTERP) is judged too: a copy of
// a dynamic program whose loader lives in a hidden directory does not run.
TEST_F(EscapeFiles, AProgramsLoaderIsJudgedAsAnExecution) {
    const std::string program = e2e::find_program("true");
    std::string image = program.empty() ? "" : e2e::read_file(program);
    const std::string loader = e2e::elf_interpreter_of(image);
    if (loader.empty()) GTEST_SKIP() << "true is no dynamic program here";
    // The new loader's name must fit where the old one stood.
    char short_dir[] = "/tmp/sbiXXXXXX";
    ASSERT_NE(mkdtemp(short_dir), nullptr);
    const std::string hidden_loader = std::string(short_dir) + "/ld";
    ASSERT_LT(hidden_loader.size(), loader.size());
    e2e::write_file(hidden_loader, e2e::read_file(loader), 0755);
    ASSERT_TRUE(e2e::replace_elf_interpreter(&image, hidden_loader));
    e2e::write_file(scratch_ / "ro/true", image, 0755);
    RunResult bare = e2e::run({scratch_ / "ro/true"});
    RunResult refused = e2e::run(e2e::sandboxed_probe(policy(), {"execve", scratch_ / "ro/true"}));
    RunResult shown = e2e::run(e2e::sandboxed_probe(policy({{"E", short_dir}}), {"execve", scratch_ / "ro/true"}));
    unlink(hidden_loader.c_str());
    rmdir(short_dir);
    ASSERT_EQ(bare.code, 0) << bare.err;
    EXPECT_EQ(refused.out, "ERR EACCES\n");
    EXPECT_EQ(shown.code, 0) << shown.out << shown.err;
    EXPECT_EQ(shown.out, "");
}

// A program that no path names, run from its descriptor, is one no rule
// can judge: a memory file, or a file removed once opened.
TEST_F(EscapeFiles, ProgramsWithoutAPathAreNotRun) {
    const std::string program = e2e::find_program("true");
    ASSERT_FALSE(program.empty());
    e2e::write_file(scratch_ / "rw/true", e2e::read_file(program), 0755);
    ASSERT_EQ(mkdir((scratch_ / "rw/bare").c_str(), 0755), 0);
    e2e::write_file(scratch_ / "rw/bare/true", e2e::read_file(program), 0755);
    ASSERT_EQ(e2e::run({e2e::probe_path(), "exec_memfd", program}).code, 0);
    ASSERT_EQ(e2e::run({e2e::probe_path(), "exec_deleted", scratch_ / "rw/bare/true"}).code, 0);
    EXPECT_EQ(e2e::run(e2e::sandboxed_probe(policy(), {"exec_memfd", program})).out, "ERR EACCES\n");
    EXPECT_EQ(e2e::run(e2e::sandboxed_probe(policy(), {"exec_deleted", scratch_ / "rw/true"})).out, "ERR EACCES\n");
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
// foreign number means another, untrapped call, so the file appears; unless
// the kernel's bound holds the tree, which judges the file it would make.
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
    if (!e2e::has_kernel_bound()) {
        EXPECT_EQ(open_door.code, 0) << open_door.out << open_door.err;
    }
    EXPECT_EQ(e2e::file_exists(target), !e2e::has_kernel_bound());
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

// ---- a sandbox inside another -------------------------------------------------------

// one/ is seen only by the first policy, other/ only by the second; the
// parameter says which of the two is the outer sandbox's. The keeper (the
// probe's parent) is the inner sandbox's supervisor, out of reach of its
// tree.
class Nesting : public ScratchTree, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        ScratchTree::SetUp();
        for (const char* dir : {"one", "other"}) {
            ASSERT_EQ(mkdir((scratch_ / dir).c_str(), 0755), 0);
            e2e::write_file(scratch_ / (std::string(dir) + "/f"), "data\n");
        }
    }
    std::string first() const { return policy({{"E", scratch_ / "one"}}); }
    std::string second() const { return policy({{"E", scratch_ / "other"}}); }
};

TEST_P(Nesting, ACallGoesAheadOnlyIfBothPoliciesAllowIt) {
    const std::string outer = GetParam() ? first() : second();
    const std::string inner = GetParam() ? second() : first();
    // What the probe adds for its own children hides the scratch tree.
    const std::string own = e2e::probe_policy();
    expect_rows(inner,
                {
                    {{"openat", "AT_FDCWD", "{s}/ro/f", "O_RDONLY"}, k_any_value},
                    {{"openat", "AT_FDCWD", "{s}/one/f", "O_RDONLY"}, "ERR EACCES"},
                    {{"openat", "AT_FDCWD", "{s}/other/f", "O_RDONLY"}, "ERR EACCES"},
                    {{"write_file", "{s}/rw/new", "x"}, "OK"},
                    {{"rt_sigqueueinfo", "parent", "0"}, "ERR EPERM"},
                    {{"sandbox_nest", "0", "", "0"}, "OK"},
                    {{"sandbox_nest", "1", "not a policy!", "13"}, "ERR EINVAL"},
                    {{"sandbox_nest", "1", "QUJD", "5"}, "ERR EINVAL"},
                    {{"sandbox_nest", "1", own, std::to_string(own.size())}, "OK"},
                    {{"sandbox_nest", "1", own, std::to_string(own.size())}, "ERR EBUSY"},
                    {{"openat", "AT_FDCWD", "{s}/ro/f", "O_RDONLY"}, k_any_value},
                    {{"fork", "openat", "AT_FDCWD", "{s}/ro/f", "O_RDONLY"}, "ERR EACCES"},
                    {{"openat", "AT_FDCWD", "{s}/one/f", "O_RDONLY"}, "ERR EACCES"},
                },
                outer);
}

INSTANTIATE_TEST_SUITE_P(Escape, Nesting, testing::Bool(), [](const testing::TestParamInfo<bool>& param) {
    return std::string(param.param ? "FirstAround" : "SecondAround");
});

// A process left behind by the inner command, its parent gone, makes its
// calls once the inner sandbox has returned: the inner policy still judges
// them.
TEST_F(EscapeFiles, WhatANestedCommandLeavesBehindStaysUnderItsPolicy) {
    const std::string outer = policy({{"E", scratch_.path()}, {"W", scratch_.path()}});
    Words argv = e2e::sandboxed(
        outer, e2e::sandboxed_probe(policy(), ops({{"bg", "out", scratch_ / "rw/bg.out"},
                                                   {"await", scratch_ / "rw/go"},
                                                   {"openat", "AT_FDCWD", scratch_ / "hidden", "O_RDONLY"},
                                                   {"write_file", scratch_ / "rw/bg", "x"}})));
    RunResult r = e2e::run(argv, nested_options());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.err;
    e2e::write_file(scratch_ / "rw/go", "");
    Words lines;
    for (int i = 0; i < 60 * 1000 && lines.size() < 4; ++i) {
        lines = e2e::lines_of(e2e::read_file(scratch_ / "rw/bg.out"));
        if (lines.size() < 4) usleep(1000);
    }
    EXPECT_EQ(lines, (Words{"OK", "OK", "ERR EACCES", "OK"}));
}

// Whether the running kernel is this version or later.
bool is_kernel_at_least(int want_major, int want_minor) {
    utsname name;
    int major = 0;
    int minor = 0;
    return uname(&name) == 0 && sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > want_major || (major == want_major && minor >= want_minor));
}

// A TCP port on 127.0.0.1 held by the test, which takes every connection
// and closes it.
class AcceptingPort {
public:
    AcceptingPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in = {};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(in);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&in), length) != 0 || listen(fd_, 4096) != 0) return;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length) == 0) port_ = ntohs(in.sin_port);
        taker_ = std::thread([this] {
            while (!done_) {
                pollfd ready = {fd_, POLLIN, 0};
                if (poll(&ready, 1, 50) > 0) close(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
            }
        });
    }
    ~AcceptingPort() {
        done_ = true;
        if (taker_.joinable()) taker_.join();
        if (fd_ >= 0) close(fd_);
    }
    AcceptingPort(const AcceptingPort&) = delete;
    AcceptingPort& operator=(const AcceptingPort&) = delete;
    std::string port() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread taker_;
};

// A second thread changes what an allowed open or change names while it is
// judged.
// Where the supervisor carries the call out itself (opens from 5.14, which
// hands a descriptor over and answers at once; changes from 5.6, which has
// openat2), no attempt reaches what the policy protects; where the call goes
// ahead in the caller, the count is printed (it depends on timing, so it is
// not asserted).
TEST(EscapeRaces, OpensAndChangesReachOnlyWhatWasJudged) {
    ScratchDir scratch;
    const std::string s = scratch.path();
    for (const char* dir : {"ro", "rw", "rw/a", "hd"}) ASSERT_EQ(mkdir((s + "/" + dir).c_str(), 0755), 0);
    for (const char* file : {"ro/f", "ro/v", "rw/f", "rw/a/f"}) e2e::write_file(s + "/" + file, "open\n");
    e2e::write_file(s + "/hd/f", "hidden\n");
    // Two programs: the one the policy lets the tree run exits 0, the
    // hidden one 1.
    e2e::write_file(s + "/rw/run", e2e::read_file("/bin/true"), 0755);
    e2e::write_file(s + "/hd/run", e2e::read_file("/bin/false"), 0755);
    ASSERT_EQ(symlink("f", (s + "/rw/l").c_str()), 0);
    ASSERT_EQ(symlink("../ro/f", (s + "/rw/m").c_str()), 0);
    ASSERT_EQ(symlink("../ro", (s + "/rw/b").c_str()), 0);
    // Only the policy protects ro/f and hd/f: the modes let anyone write
    // and read them, for the run as another user.
    for (const char* dir : {"", "/hd"}) ASSERT_EQ(chmod((s + dir).c_str(), 0755), 0);
    for (const char* dir : {"/ro", "/rw", "/rw/a"}) ASSERT_EQ(chmod((s + dir).c_str(), 0777), 0);
    for (const char* file : {"/ro/f", "/ro/v", "/rw/f", "/rw/a/f", "/hd/f"})
        ASSERT_EQ(chmod((s + file).c_str(), 0666), 0);
    // Connections and datagrams go to the first port of each pair, or, if
    // they get out, to the second.
    AcceptingPort streams[2];
    UdpPort datagrams[2];
    const std::string policy = e2e::probe_policy(
        {{"E", s + "/ro"}, {"E", s + "/rw"}, {"W", s + "/rw"}, {"L", streams[0].port()}, {"L", datagrams[0].port()}});
    const std::string attempts = e2e::is_light_load() ? "200" : "4000";
    // A flipping thread whose every change is judged leaves the opens it
    // races little of a machine under software emulation.
    RunOptions options = nested_options();
    options.timeout_seconds = 300;
    const bool opens_carried_out = is_kernel_at_least(5, 14);
    const bool changes_carried_out = is_kernel_at_least(5, 6);
    // Each race as root, and the first two and the last as a command that
    // dropped root.
    // Then the changes the supervisor carries out: each stops at its first
    // escape, which ro/ cannot undo.
    // Then connections and datagrams, whose address flips, and a program
    // run through a path that flips.
    const std::vector<Words> races = {
        {"buffer"},       {"cwd"},     {"link"},   {"parent"},  {"hidden"},           {"buffer", "65534"},
        {"cwd", "65534"}, {"remove"},  {"rename"}, {"symlink"}, {"symlink", "65534"}, {"chmod"},
        {"hardlink"},     {"connect"}, {"send"},   {"exec"}};
    for (const Words& which : races) {
        const std::string mode = joined(which);
        const bool sends = which[0] == "send";
        e2e::write_file(s + "/rw/ports", sends ? datagrams[0].port() + " " + datagrams[1].port()
                                               : streams[0].port() + " " + streams[1].port());
        // Without the hand-over (5.10), only the races that rewrite memory
        // run: a thread flipping the directory or names with calls that
        // are trapped and go ahead, against opens that go ahead, can leave
        // those machines well past the test's time.
        // An execution goes ahead in the caller: only the kernel's bound
        // judges the program it runs.
        const bool runs = which[0] == "exec";
        const bool change = !runs && which[0] != "buffer" && which[0] != "cwd" && which[0] != "link" &&
                            which[0] != "parent" && which[0] != "hidden";
        const bool carried_out = runs ? e2e::has_kernel_bound() : change ? changes_carried_out : opens_carried_out;
        if (!carried_out && which[0] != "buffer" && which[0] != "hidden") continue;
        Words race = {e2e::bin_dir() + "/race", which[0], attempts, s};
        if (which.size() > 1) race.push_back(which[1]);
        // The leak checker reads /proc, which the policy hides.
        RunResult r = e2e::run(e2e::sandboxed(policy, race), options);
        ASSERT_EQ(r.code, 0) << mode << ": " << r.err;
        // Datagrams that got out are counted where they arrived.
        if (sends) r.out = "escapes " + std::to_string(datagrams[1].drain()) + " of " + attempts + "\n";
        if (carried_out) {
            EXPECT_EQ(r.out, "escapes 0 of " + attempts + "\n") << mode;
        } else {
            std::cout << "[ race     ] " << mode << " with the call going ahead: " << r.out;
        }
        // The same race where the caller opens for itself, for comparison.
        setenv("SANDBOX_FAULT", runs ? "no-kernel-bound" : "continue-opens,no-kernel-bound", 1);
        Words continued = {e2e::bin_dir() + "/sandbox_faults", "--policy", policy, "--"};
        continued.insert(continued.end(), race.begin(), race.end());
        RunResult c = e2e::run(continued, options);
        unsetenv("SANDBOX_FAULT");
        ASSERT_EQ(c.code, 0) << mode << ": " << c.err;
        if (sends) c.out = "escapes " + std::to_string(datagrams[1].drain()) + " of " + attempts + "\n";
        std::cout << "[ race     ] " << mode << " with the call going ahead: " << c.out;
        // What a change that got through did to ro/ is undone for the next.
        for (const char* made : {"/ro/s", "/ro/y", "/ro/h"}) unlink((s + made).c_str());
        e2e::write_file(s + "/ro/v", "open\n", 0666);
        ASSERT_EQ(chmod((s + "/ro/f").c_str(), 0666), 0);
        datagrams[0].drain();
    }
}
