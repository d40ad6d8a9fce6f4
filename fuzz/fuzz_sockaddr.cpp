// Socket destinations as connect and sendto pass them.
//
// Input: eight bytes of the length argument (host order), then the address
// bytes (at most 128 are ever copied out of a tracee). The copy is laid out
// the way check_sockaddr leaves it: the first min(length, 128) bytes, the
// rest zero. Each input is judged with the length it gives and with the
// number of address bytes, under three fixed policies.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "fuzz_support.h"
#include "rules/local_addresses.h"
#include "rules/socket_rules.h"

namespace {

Policy g_policies[3];

void set_ports(PortList* list, std::initializer_list<int> ports) {
    list->ports = static_cast<int32_t*>(malloc(ports.size() * sizeof(int32_t)));
    if (list->ports == nullptr) abort();
    for (int port : ports) list->ports[list->count++] = port;
}

// The default policy; one that names a port in both lists (allowed wins)
// and lets the rest through; one that denies a single port and the rest by
// default.
void make_policies() {
    for (Policy& policy : g_policies) {
        memset(&policy, 0, sizeof(policy));
        policy.hidden_root = strdup("/");
        policy.deny_single = strdup("");
    }
    set_ports(&g_policies[1].loopback_allow_ports, {8080, 53});
    set_ports(&g_policies[1].loopback_deny_ports, {22, 8080});
    g_policies[1].loopback_default_allow = 1;
    set_ports(&g_policies[2].loopback_deny_ports, {80});
}

int port_decision(const Policy& policy, int port) {
    for (uint64_t i = 0; i < policy.loopback_allow_ports.count; ++i) {
        if (policy.loopback_allow_ports.ports[i] == port) return 1;
    }
    for (uint64_t i = 0; i < policy.loopback_deny_ports.count; ++i) {
        if (policy.loopback_deny_ports.ports[i] == port) return 0;
    }
    return policy.loopback_default_allow;
}

int has_dot_component(const std::string& name) {
    size_t at = 0;
    while (at <= name.size()) {
        size_t end = name.find('/', at);
        if (end == std::string::npos) end = name.size();
        std::string component = name.substr(at, end - at);
        if (component == "." || component == "..") return 1;
        at = end + 1;
    }
    return 0;
}

// The name-service sockets: nscd's two names and anything below systemd's
// resolver directory that does not climb out of it.
int is_name_service(const std::string& name) {
    static const std::string k_resolved = "/run/systemd/resolve/";
    if (name == "/var/run/nscd/socket" || name == "/run/nscd/socket") return 1;
    return name.compare(0, k_resolved.size(), k_resolved) == 0 && !has_dot_component(name);
}

// IPv4 loopback, 0.0.0.0 or one of this machine's addresses: judged by
// port. Anything else is open.
int ipv4_decision(const Policy& policy, const unsigned char* address, int port) {
    static const unsigned char k_zero[4] = {};
    if (address[0] == 127 || memcmp(address, k_zero, 4) == 0 || is_local_ipv4(address)) {
        return port_decision(policy, port);
    }
    return 1;
}

int expected_decision(const Policy& policy, const unsigned char* copy, uint64_t length) {
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    int port = (copy[2] << 8) | copy[3];
    if (family == AF_INET) {
        if (length < sizeof(sockaddr_in)) return 0;
        return ipv4_decision(policy, copy + 4, port);
    }
    if (family == AF_INET6) {
        if (length < sizeof(sockaddr_in6)) return 0;
        const unsigned char* address = copy + 8;
        static const unsigned char k_zero[16] = {};
        static const unsigned char k_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (memcmp(address, k_zero, 15) == 0 && address[15] <= 1) return port_decision(policy, port);
        if (memcmp(address, k_mapped, 12) == 0) return ipv4_decision(policy, address + 12, port);
        return is_local_ipv6(address) ? port_decision(policy, port) : 1;
    }
    if (family != AF_UNIX) return 1;
    return -1;  // judged by name below
}

void check(const Policy& policy, const unsigned char* copy, uint64_t length) {
    bool allowed = judge_sockaddr(&policy, copy, length);
    SocketVerdict why;
    memset(&why, 0x5a, sizeof(why));
    bool explained = judge_sockaddr(&policy, copy, length, &why);
    if (explained != allowed || why.allowed != allowed) {
        fuzz_fail("judge_sockaddr %d, with a verdict %d (verdict says %d)", allowed, explained, why.allowed);
    }
    if (why.step < SOCKET_OTHER_FAMILY || why.step > SOCKET_OPEN) {
        fuzz_fail("socket step %d", static_cast<int>(why.step));
    }

    int expected = expected_decision(policy, copy, length);
    if (expected >= 0) {
        if (allowed != expected) {
            fuzz_fail("length %llu: decision %d, expected %d", static_cast<unsigned long long>(length), allowed,
                      expected);
        }
        return;
    }
    // A local name, as the kernel reads it: up to length - 2 bytes of
    // sun_path, ending at a NUL.
    if (length < 2 || !allowed) return;
    if (length == 2) return;  // unnamed
    if (copy[2] == 0) fuzz_fail("abstract local name allowed");
    size_t room = sizeof(sockaddr_un::sun_path);
    size_t n = length - 2 < room ? static_cast<size_t>(length - 2) : room;
    std::string name(reinterpret_cast<const char*>(copy + 2), strnlen(reinterpret_cast<const char*>(copy + 2), n));
    if (!is_name_service(name)) fuzz_fail("local name \"%s\" allowed", name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_policies();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t length = 0;
    memcpy(&length, data, size < sizeof(length) ? size : sizeof(length));
    const uint8_t* address = data + (size < sizeof(length) ? size : sizeof(length));
    size_t available = size - static_cast<size_t>(address - data);
    if (available > k_sockaddr_copy) available = k_sockaddr_copy;

    const uint64_t lengths[] = {length, available};
    for (uint64_t given : lengths) {
        unsigned char* copy = static_cast<unsigned char*>(calloc(k_sockaddr_copy, 1));
        if (copy == nullptr) abort();
        size_t n = given < available ? static_cast<size_t>(given) : available;
        memcpy(copy, address, n);
        for (const Policy& policy : g_policies) check(policy, copy, given);
        free(copy);
    }
    return 0;
}
