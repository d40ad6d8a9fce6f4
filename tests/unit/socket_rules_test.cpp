#include "rules/socket_rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "rules/local_addresses.h"
#include "supervisor/socket_check.h"
#include "unit/policy_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The bytes a tracee would pass, as the supervisor copies them: at most 128,
// zero-filled beyond.
int judge(const Policy& policy, const Bytes& bytes, uint64_t length) {
    unsigned char copy[k_sockaddr_copy] = {};
    memcpy(copy, bytes.data(), std::min<size_t>(bytes.size(), std::min<uint64_t>(length, k_sockaddr_copy)));
    return judge_sockaddr(&policy, copy, length);
}

Bytes unix_address(const std::string& name) {
    Bytes bytes(2 + name.size());
    sa_family_t family = AF_UNIX;
    memcpy(bytes.data(), &family, 2);
    memcpy(bytes.data() + 2, name.data(), name.size());
    return bytes;
}

Bytes inet_address(const char* text, int port) {
    sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, text, &in.sin_addr);
    Bytes bytes(sizeof(in));
    memcpy(bytes.data(), &in, sizeof(in));
    return bytes;
}

Bytes inet6_address(const char* text, int port) {
    sockaddr_in6 in6 = {};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, text, &in6.sin6_addr);
    Bytes bytes(sizeof(in6));
    memcpy(bytes.data(), &in6, sizeof(in6));
    return bytes;
}

TEST(SocketRules, LocalNames) {
    Policy p = decode_records({{"U", "/run/user/1000/gnupg"}, {"U", "/home/u/.ssh/agent.sock"}});
    struct Case {
        std::string name;
        uint64_t length;  // 0: the name's own length plus the family
        int expected;
    };
    const std::string nscd = "/run/nscd/socket";
    const Case cases[] = {
        {"", 2, 1},                            // unnamed
        {std::string("\0abstract", 9), 0, 0},  // abstract
        {std::string("\0", 1), 3, 0},
        {nscd, 18, 1},                            // no NUL in the address
        {nscd + std::string("\0junk", 5), 0, 1},  // NUL and more bytes
        {nscd + "x", 0, 0},
        {"/var/run/nscd/socket", 0, 1},
        {"/run/systemd/resolve/io.systemd.Resolve", 0, 1},
        {"/run/systemd/resolve/", 0, 1},
        {"/run/systemd/resolve", 0, 0},
        {"run/nscd/socket", 0, 0},  // relative
        {"/tmp/x", 0, 0},
        {"/run/systemd/resolve/../../../tmp/x", 0, 0},  // leaves the directory
        {"/run/systemd/resolve/./x", 0, 0},
        {"/run/systemd/resolve/..", 0, 0},
        {"/run/systemd/resolve/a..b", 0, 1},
        {"/run/systemd/resolve//x", 0, 1},
        // local_socket entries: a tree of sockets, or one.
        {"/run/user/1000/gnupg/S.gpg-agent", 0, 1},
        {"/run/user/1000/gnupg", 0, 1},
        {"/run/user/1000/gnupgx", 0, 0},
        {"/run/user/1000/gnupg/../bus", 0, 0},
        {"/home/u/.ssh/agent.sock", 0, 1},
        {"/home/u/.ssh/agent.sock2", 0, 0},
        {std::string("\0/run/user/1000/gnupg/x", 24), 0, 0},  // abstract, however named
    };
    for (const Case& c : cases) {
        uint64_t length = c.length != 0 ? c.length : c.name.size() + 2;
        EXPECT_EQ(judge(p, unix_address(c.name), length), c.expected) << c.name << " length " << length;
    }
}

TEST(SocketRules, LongLocalNamesAreCutAt108Bytes) {
    Policy p = decode_records({});
    std::string name = "/run/systemd/resolve/" + std::string(87, 'x');  // 108 bytes
    ASSERT_EQ(name.size(), 108u);
    EXPECT_EQ(judge(p, unix_address(name + "/../../x"), 110), 1);  // only 108 bytes count
    EXPECT_EQ(judge(p, unix_address(name + "/../../x"), 200), 1);
    std::string nscd = "/run/nscd/socket" + std::string(1, '\0');
    EXPECT_EQ(judge(p, unix_address(nscd + std::string(120, 'z')), 200), 1);
}

TEST(SocketRules, InternetDestinations) {
    Policy deny = decode_records({});
    Policy allow_8080 = decode_records({{"L", "8080"}});
    struct Case {
        Bytes bytes;
        uint64_t length;
        int by_port;  // 1: loopback or unspecified, so the port rule decides
    };
    const Case cases[] = {
        {inet_address("127.0.0.1", 8080), 16, 1},
        {inet_address("127.0.0.53", 8080), 16, 1},
        {inet_address("127.255.1.2", 8080), 16, 1},
        {inet_address("0.0.0.0", 8080), 16, 1},
        {inet_address("198.51.100.7", 8080), 16, 0},
        {inet6_address("::1", 8080), 28, 1},
        {inet6_address("::", 8080), 28, 1},
        {inet6_address("::ffff:127.0.0.1", 8080), 28, 1},
        {inet6_address("::ffff:0.0.0.0", 8080), 28, 1},
        {inet6_address("::2", 8080), 28, 0},
        {inet6_address("::127.0.0.1", 8080), 28, 0},
        {inet6_address("::ffff:198.51.100.7", 8080), 28, 0},
        {inet6_address("2001:db8::1", 8080), 28, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge(deny, c.bytes, c.length), c.by_port ? 0 : 1);
        EXPECT_EQ(judge(allow_8080, c.bytes, c.length), 1);
    }
}

// Ranges used on real networks: open unless this machine happens to own
// the address, in which case it is as good as loopback.
TEST(SocketRules, PrivateAndLinkLocalDestinations) {
    Policy deny = decode_records({});
    for (const char* text : {"10.0.0.1", "192.168.1.1"}) {
        Bytes bytes = inet_address(text, 22);
        EXPECT_EQ(judge(deny, bytes, 16), is_local_ipv4(bytes.data() + 4) ? 0 : 1) << text;
    }
    for (const char* text : {"fe80::1", "::ffff:10.0.0.1"}) {
        Bytes bytes = inet6_address(text, 22);
        bool local = text[0] == ':' ? is_local_ipv4(bytes.data() + 20) : is_local_ipv6(bytes.data() + 8);
        EXPECT_EQ(judge(deny, bytes, 28), local ? 0 : 1) << text;
    }
}

TEST(SocketRules, ShortAddressesAndOtherFamilies) {
    Policy p = decode_records({{"H", "1"}});
    EXPECT_EQ(judge(p, inet_address("198.51.100.7", 80), 15), 0);
    EXPECT_EQ(judge(p, inet_address("127.0.0.1", 80), 16), 1);
    EXPECT_EQ(judge(p, inet6_address("2001:db8::1", 80), 27), 0);
    EXPECT_EQ(judge(p, inet6_address("::1", 80), 28), 1);
    Bytes netlink(12, 0);
    sa_family_t family = AF_NETLINK;
    memcpy(netlink.data(), &family, 2);
    EXPECT_EQ(judge(p, netlink, 2), 1);
    EXPECT_EQ(judge(p, netlink, 12), 1);
    family = AF_PACKET;
    memcpy(netlink.data(), &family, 2);
    EXPECT_EQ(judge(p, netlink, 3), 1);
}

TEST(SocketRules, PortsInHostOrder) {
    Policy p = decode_records({{"L", "8080"}});
    Bytes bytes = inet_address("127.0.0.1", 0);
    bytes[2] = 0x1f;
    bytes[3] = 0x90;
    EXPECT_EQ(judge(p, bytes, 16), 1);
    bytes[2] = 0x90;
    bytes[3] = 0x1f;
    EXPECT_EQ(judge(p, bytes, 16), 0);
}

TEST(SocketRules, PortRule) {
    struct Case {
        Records records;
        int port;
        int expected;
    };
    const Case cases[] = {
        {{}, 80, 0},
        {{}, 0, 0},
        {{{"H", "1"}}, 0, 1},
        {{{"L", "22"}, {"N", "22"}}, 22, 1},  // the allow list wins
        {{{"N", "22"}}, 22, 0},
        {{{"N", "22"}, {"H", "1"}}, 22, 0},
        {{{"N", "22"}, {"H", "1"}}, 23, 1},
        {{{"L", "22"}}, 23, 0},
        {{{"L", "22"}, {"L", "80"}}, 80, 1},
    };
    for (const Case& c : cases) {
        Policy p = decode_records(c.records);
        EXPECT_EQ(is_port_allowed(&p, c.port), c.expected) << c.port;
    }
}

TEST(SocketRules, NothingIsReadForANullOrTinyAddress) {
    Policy p = decode_records({});
    // No listener and no such process: any read or check would deny.
    const PendingCall call = {&p, -1, 0, 0x3ffffff0, {0, -1, 0}, nullptr, nullptr};
    EXPECT_EQ(check_sockaddr(call, -1, 0, 16), 1);
    EXPECT_EQ(check_sockaddr(call, -1, 0x1000, 0), 1);
    EXPECT_EQ(check_sockaddr(call, -1, 0x1000, 1), 1);
    EXPECT_EQ(check_sockaddr(call, -1, 0x1000, 2), 0);
}

// One of this machine's own addresses other than loopback, if it has one.
bool first_own_address(int family, Bytes* address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != family) continue;
        if (family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&in->sin_addr);
            if (bytes[0] == 127) continue;
            address->assign(bytes, bytes + 4);
        } else {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) continue;
            const unsigned char* bytes = in6->sin6_addr.s6_addr;
            address->assign(bytes, bytes + 16);
        }
        found = true;
    }
    freeifaddrs(list);
    return found;
}

TEST(LocalAddresses, LoopbackAndOwnAddresses) {
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(is_local_ipv4(loopback), 1);
    const unsigned char documentation[4] = {192, 0, 2, 1};
    EXPECT_EQ(is_local_ipv4(documentation), 0);
    unsigned char loopback6[16] = {};
    loopback6[15] = 1;
    // ::1 exists where IPv6 is enabled on lo.
    Bytes any;
    if (first_own_address(AF_INET6, &any)) {
        EXPECT_EQ(is_local_ipv6(loopback6), 1);
    }

    Bytes own;
    if (!first_own_address(AF_INET, &own)) GTEST_SKIP() << "this machine has no IPv4 address besides loopback";
    EXPECT_EQ(is_local_ipv4(own.data()), 1);
    // The port rule applies to it as to loopback.
    Policy deny = decode_records({});
    Bytes bytes = inet_address("0.0.0.0", 80);
    memcpy(bytes.data() + 4, own.data(), 4);
    EXPECT_EQ(judge(deny, bytes, 16), 0);
    Policy allow = decode_records({{"L", "80"}});
    EXPECT_EQ(judge(allow, bytes, 16), 1);
}

}  // namespace
