// What a sandboxed program may do to other processes and where it may
// connect, seen through the probe. Traffic stays on this machine: loopback,
// this machine's own addresses, and datagram connects that send nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run.h"

namespace {

using e2e::ops;
using e2e::Words;

struct Row {
    Words op;
    std::string expected;
};

// Runs the rows in one probe under the policy and compares line by line.
void expect_rows(const std::string& policy, const std::vector<Row>& rows) {
    std::vector<Words> list;
    for (const Row& row : rows) list.push_back(row.op);
    e2e::RunResult r = e2e::run(e2e::sandboxed_probe(policy, ops(list)));
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.code, 0) << r.err;
    Words got = e2e::lines_of(r.out);
    ASSERT_EQ(got.size(), rows.size()) << r.out;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string op;
        for (const std::string& w : rows[i].op) op += w + " ";
        // "OK #": any "OK <number>".
        if (rows[i].expected == "OK #") {
            EXPECT_GE(e2e::ok_value(got[i]), 0) << op << got[i];
        } else {
            EXPECT_EQ(got[i], rows[i].expected) << op;
        }
    }
}

// A TCP port on this machine that nobody listens on: bound, never listening,
// so a connect to it is refused by the kernel.
class ClosedPort {
public:
    explicit ClosedPort(int family = AF_INET, int type = SOCK_STREAM) {
        fd_ = socket(family, type | SOCK_CLOEXEC, 0);
        sockaddr_storage address = {};
        socklen_t length;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_ANY);
            length = sizeof(*in);
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_any;
            length = sizeof(*in6);
        }
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) return;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    ~ClosedPort() {
        if (fd_ >= 0) close(fd_);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::string port() const { return std::to_string(port_); }
    bool ok() const { return port_ > 0; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A kernel booted with ipv6.disable=1 makes no IPv6 socket at all.
bool has_ipv6_sockets() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

bool has_ipv6_loopback() {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 in6 = {};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof(in6)) == 0;
    close(fd);
    return ok;
}

// Whether the kernel's socket table answers a dump of the protocol's
// IPv4 sockets (inet_diag with tcp_diag or udp_diag, modules on Debian).
bool has_socket_table(int protocol, int family = AF_INET) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message = {};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = static_cast<uint8_t>(protocol);
    message.request.idiag_states = ~0u;  // udiag_states for AF_UNIX, at the same place
    alignas(nlmsghdr) char reply[8192];
    bool answered = send(fd, &message, sizeof(message), 0) == sizeof(message);
    const ssize_t got = answered ? recv(fd, reply, sizeof(reply), 0) : -1;
    answered = got >= static_cast<ssize_t>(sizeof(nlmsghdr)) &&
               reinterpret_cast<const nlmsghdr*>(reply)->nlmsg_type != NLMSG_ERROR;
    close(fd);
    return answered;
}

TEST(Network, LoopbackPortsFollowThePolicy) {
    ClosedPort closed;
    ASSERT_TRUE(closed.ok());
    const std::string port = closed.port();
    // A UDP socket outside the tree: a datagram to it is refused.
    ClosedPort heard(AF_INET, SOCK_DGRAM);
    ASSERT_TRUE(heard.ok());
    // Refused by the policy: EACCES, but where the socket table shows that
    // nothing would take it: the kernel's own answer, as where allowed (a
    // datagram is dropped).
    const std::string unheard = has_socket_table(IPPROTO_TCP) ? "ERR ECONNREFUSED" : "ERR EACCES";
    const std::string dropped = has_socket_table(IPPROTO_UDP) ? "OK 5" : "ERR EACCES";
    std::vector<Row> refused = {
        {{"connect", "inet", "127.0.0.1", port}, unheard},
        {{"connect", "inet", "127.1.2.3", port}, unheard},
        {{"connect", "inet", "0.0.0.0", port}, unheard},
        {{"sendto", "inet", "127.0.0.1", port}, dropped},
        {{"sendto", "inet", "127.0.0.1", heard.port()}, "ERR EACCES"},
        {{"sendto_null"}, "OK 5"},
    };
    // Without IPv6 sockets this row is left out, and the test skips below.
    if (has_ipv6_sockets()) refused.push_back({{"connect", "inet6", "::ffff:127.0.0.1", port}, unheard});
    expect_rows(e2e::probe_policy(), refused);
    expect_rows(e2e::probe_policy({{"L", port}, {"L", heard.port()}}),
                {
                    {{"connect", "inet", "127.0.0.1", port}, "ERR ECONNREFUSED"},
                    {{"connect", "inet", "0.0.0.0", port}, "ERR ECONNREFUSED"},
                    {{"sendto", "inet", "127.0.0.1", port}, "OK 5"},
                    {{"sendto", "inet", "127.0.0.1", heard.port()}, "OK 5"},
                });
    expect_rows(e2e::probe_policy({{"H", "1"}, {"N", heard.port()}}),
                {
                    {{"sendto", "inet", "127.0.0.1", heard.port()}, "ERR EACCES"},
                    {{"sendto", "inet", "127.0.0.1", "9"}, "OK 5"},
                });
    if (!has_ipv6_loopback()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine" << (has_ipv6_sockets() ? "" : ", nor IPv6 sockets");
    }
    ClosedPort closed6(AF_INET6);
    expect_rows(e2e::probe_policy(), {{{"connect", "inet6", "::1", closed6.port()},
                                       has_socket_table(IPPROTO_TCP, AF_INET6) ? unheard : "ERR EACCES"}});
    expect_rows(e2e::probe_policy({{"L", closed6.port()}}),
                {{{"connect", "inet6", "::1", closed6.port()}, "ERR ECONNREFUSED"}});
}

// A server the tree starts on a port the policy refuses (an ephemeral one,
// as test suites do) is reached by the tree's own clients, of its own
// protocol; a server outside the tree on such a port is not.
TEST(Network, TheTreeReachesItsOwnServers) {
    if (!has_socket_table(IPPROTO_TCP) || !has_socket_table(IPPROTO_UDP)) {
        GTEST_SKIP() << "this kernel lists no sockets through sock_diag (inet_diag, tcp_diag and udp_diag)";
    }
    const int outsider = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(outsider, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(outsider, 1), 0);
    ASSERT_EQ(getsockname(outsider, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string outside_port = std::to_string(ntohs(address.sin_port));
    expect_rows(e2e::probe_policy(),
                {
                    {{"listen", "inet", "127.0.0.1", "0"}, "OK #"},
                    {{"connect", "inet", "127.0.0.1", "listened"}, "OK"},
                    {{"connect", "inet", "0.0.0.0", "listened"}, "OK"},
                    // Nothing listens there: the kernel's own answer.
                    {{"connect", "inet", "127.0.0.2", "listened"}, "ERR ECONNREFUSED"},
                    {{"sendto", "inet", "127.0.0.1", "listened"}, "OK 5"},  // no UDP socket: dropped
                    {{"bind_dgram", "inet", "127.0.0.1", "0"}, "OK #"},
                    {{"sendto", "inet", "127.0.0.1", "listened"}, "OK 5"},
                    {{"connect", "inet", "127.0.0.1", "listened"}, "ERR ECONNREFUSED"},
                    {{"listen", "inet", "0.0.0.0", "0"}, "OK #"},
                    {{"connect", "inet", "127.0.0.3", "listened"}, "OK"},
                    {{"connect", "inet", "127.0.0.1", outside_port}, "ERR EACCES"},
                });
    close(outsider);
}

// A local socket the tree binds, by path or abstract name, is reached by
// the tree; one that a process outside it binds is not.
TEST(Network, TheTreeReachesItsOwnLocalSockets) {
    if (!has_socket_table(0, AF_UNIX)) {
        GTEST_SKIP() << "this kernel lists no local sockets through sock_diag (unix_diag)";
    }
    e2e::ScratchDir scratch;
    const std::string outside_path = scratch / "outside.sock";
    const std::string abstract = "sandbox-e2e-" + std::to_string(getpid());
    int outsiders[2];
    for (int i = 0; i < 2; ++i) {
        outsiders[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const std::string name = i == 0 ? outside_path : std::string(1, '\0') + abstract + "-outside";
        memcpy(address.sun_path, name.data(), name.size());
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (i == 0));
        ASSERT_EQ(bind(outsiders[i], reinterpret_cast<sockaddr*>(&address), length), 0) << i;
        ASSERT_EQ(listen(outsiders[i], 1), 0);
    }
    // A link into a hidden directory tells nothing of what is there.
    e2e::ScratchDir hidden;
    e2e::write_file(hidden / "f", "");
    ASSERT_EQ(symlink(hidden.path().c_str(), (scratch / "peek").c_str()), 0);
    expect_rows(e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}}),
                {
                    {{"connect", "unix", scratch / "peek/f"}, "ERR EACCES"},
                    {{"connect", "unix", scratch / "peek/missing"}, "ERR EACCES"},
                    {{"listen", "unix", scratch / "own.sock"}, "OK 0"},
                    {{"connect", "unix", scratch / "own.sock"}, "OK"},
                    {{"listen", "unix", "@" + abstract}, "OK 0"},
                    {{"connect", "unix", "@" + abstract}, "OK"},
                    {{"connect", "unix", outside_path}, "ERR EACCES"},
                    {{"connect", "unix", "@" + abstract + "-outside"}, "ERR EACCES"},
                    {{"connect", "unix", "@" + abstract + "-none"}, "ERR ECONNREFUSED"},
                });
    for (int fd : outsiders) close(fd);
}

// A name nothing is bound to answers as the kernel would where the policy
// shows the path (missing: ENOENT; no socket: ECONNREFUSED), and EACCES
// where it hides it.
TEST(Network, LocalSockets) {
    expect_rows(e2e::probe_policy(),
                {
                    {{"connect", "unix", "/run/systemd/resolve/sandbox-test-missing"}, "ERR ENOENT"},
                    {{"connect", "unix", "/run/systemd/resolve/../../../tmp/sandbox-test-missing"}, "ERR EACCES"},
                    {{"connect", "unix", "/tmp/sandbox-test-missing"}, "ERR EACCES"},
                    {{"connect", "unix", "/etc/sandbox-test-missing"}, "ERR ENOENT"},
                    {{"connect", "unix", "/etc/passwd"}, "ERR ECONNREFUSED"},
                    {{"connect", "unix", "@sandbox-test-abstract"},
                     has_socket_table(0, AF_UNIX) ? "ERR ECONNREFUSED" : "ERR EACCES"},
                    {{"sendto", "unix", "/tmp/sandbox-test-missing"}, "ERR EACCES"},
                    // Family only: an unnamed address is the kernel's to judge.
                    {{"connect_raw", "2", "0100"}, "ERR EINVAL"},
                    {{"connect_null", "16"}, "ERR EFAULT"},
                });
}

// A datagram connect only records the peer, so a destination off this
// machine can be named without sending anything to it.
TEST(Network, OtherDestinationsAreOpen) {
    e2e::RunResult r = e2e::run(e2e::sandboxed_probe(
        e2e::probe_policy(),
        ops({{"connect_dgram", "inet", "198.51.100.7", "53"}, {"connect_dgram", "inet6", "2001:db8::1", "53"}})));
    ASSERT_EQ(r.code, 0) << r.err;
    for (const std::string& line : e2e::lines_of(r.out)) EXPECT_NE(line, "ERR EACCES");
}

// A server bound to every address answers on this machine's own addresses
// as it does on loopback, so those follow the loopback port rule.
TEST(Network, OwnAddressesAreLikeLoopback) {
    std::string own;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a != nullptr && own.empty(); a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof(text));
            if (strncmp(text, "127.", 4) != 0) own = text;
        }
        freeifaddrs(list);
    }
    if (own.empty()) GTEST_SKIP() << "this machine has no IPv4 address besides loopback";
    ClosedPort closed;
    ASSERT_TRUE(closed.ok());
    const std::string unheard = has_socket_table(IPPROTO_TCP) ? "ERR ECONNREFUSED" : "ERR EACCES";
    expect_rows(e2e::probe_policy(),
                {{{"connect", "inet", own, closed.port()}, unheard},
                 {{"sendto", "inet", own, closed.port()}, has_socket_table(IPPROTO_UDP) ? "OK 5" : "ERR EACCES"}});
    expect_rows(e2e::probe_policy({{"L", closed.port()}}),
                {{{"connect", "inet", own, closed.port()}, "ERR ECONNREFUSED"},
                 {{"sendto", "inet", own, closed.port()}, "OK 5"}});
}

TEST(Processes, DebuggingAndMemoryAccessAreRefused) {
    expect_rows(e2e::probe_policy(), {
                                         {{"ptrace", "PTRACE_TRACEME"}, "ERR EPERM"},
                                         {{"process_vm_readv", "self"}, "ERR EPERM"},
                                         {{"process_vm_writev", "self"}, "ERR EPERM"},
                                         {{"fork", "process_vm_readv", "parent"}, "ERR EPERM"},
                                     });
}

TEST(Processes, SignalsReachOnlyTheTree) {
    const std::string outsider = std::to_string(getpid());
    // A process that has been reaped: its pid names no process.
    const pid_t reaped = fork();
    if (reaped == 0) _exit(0);
    ASSERT_GT(reaped, 0);
    ASSERT_EQ(waitpid(reaped, nullptr, 0), reaped);
    const std::string gone = std::to_string(reaped);
    expect_rows(e2e::probe_policy(), {
                                         {{"kill", "self", "0"}, "OK"},
                                         {{"kill", "0", "0"}, "OK"},
                                         {{"kill", "-1", "0"}, "OK"},
                                         {{"kill", "parent", "0"}, "ERR EPERM"},  // the supervisor
                                         {{"kill", "group", "0"}, "ERR EPERM"},   // the launcher
                                         {{"kill", outsider, "0"}, "ERR EPERM"},
                                         {{"kill", "1", "0"}, "ERR EPERM"},
                                         {{"kill", gone, "0"}, "ERR ESRCH"},
                                         {{"tkill", "tid", "0"}, "OK"},
                                         {{"tkill", outsider, "0"}, "ERR EPERM"},
                                         // Judged by the thread group alone.
                                         {{"tgkill", "self", "tid", "0"}, "OK"},
                                         {{"tgkill", outsider, "tid", "0"}, "ERR EPERM"},
                                         {{"tgkill", "self", outsider, "0"}, "ERR ESRCH"},
                                         // A child and a grandchild signal their parents.
                                         {{"fork", "kill", "parent", "0"}, "OK"},
                                         {{"fork", "fork", "kill", "parent", "0"}, "OK"},
                                     });
}

TEST(Processes, ProcessEntriesOfTheTreeOnly) {
    expect_rows(e2e::probe_policy(), {
                                         {{"newfstatat", "AT_FDCWD", "/proc/self/status", "0"}, "OK"},
                                         {{"readlinkat", "AT_FDCWD", "/proc/self/exe"}, "OK " + e2e::probe_path()},
                                         {{"readlink_of_parent_fd", "0"}, "ERR EACCES"},
                                         {{"newfstatat", "AT_FDCWD", "/proc/1/status", "0"}, "ERR EACCES"},
                                         {{"fork", "newfstatat", "AT_FDCWD", "/proc/self/status", "0"}, "OK"},
                                     });
}

}  // namespace

namespace {

// A process left behind by its parent is re-parented to the supervisor and
// leaves the tree's parent chain, but its calls are still trapped: its own
// entries and signals to itself stay its own.
TEST(Processes, OrphansKeepTheirOwnEntries) {
    e2e::ScratchDir scratch;
    std::string policy = e2e::probe_policy({{"E", scratch.path()}, {"W", scratch.path()}});
    e2e::RunResult r = e2e::run(e2e::sandboxed_probe(policy, ops({{"bg", "out", scratch / "orphan.out"},
                                                                  {"await", scratch / "go"},
                                                                  {"newfstatat", "AT_FDCWD", "/proc/self/status", "0"},
                                                                  {"readlinkat", "AT_FDCWD", "/proc/self/exe"},
                                                                  {"kill", "self", "0"},
                                                                  {"tgkill", "self", "tid", "0"},
                                                                  {"kill", "parent", "0"},
                                                                  {"write_file", scratch / "done", "x"}})));
    ASSERT_EQ(r.code, 0) << r.err;
    // The launcher has gone, and with it the orphan's parent.
    e2e::write_file(scratch / "go", "");
    // out, await, the four calls on itself, its parent, write_file: the last
    // line comes after the file it reports on.
    Words lines;
    for (int i = 0; i < 6000 && lines.size() < 8; ++i) {
        usleep(10000);
        lines = e2e::lines_of(e2e::read_file(scratch / "orphan.out"));
    }
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[2], "OK");
    EXPECT_EQ(lines[3], "OK " + e2e::probe_path());
    EXPECT_EQ(lines[4], "OK");
    EXPECT_EQ(lines[5], "OK");
    EXPECT_EQ(lines[6], "ERR EPERM");  // its parent now is the supervisor
}

}  // namespace
