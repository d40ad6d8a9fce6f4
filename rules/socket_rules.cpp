#include "rules/socket_rules.h"

#include <string.h>
#include <sys/socket.h>

#include "path/tracee_path.h"
#include "rules/local_addresses.h"

namespace {

constexpr size_t k_sun_path_size = 108;
constexpr char k_resolved_prefix[] = "/run/systemd/resolve/";

int port_of(const Policy* policy, const unsigned char* copy) {
    return is_port_allowed(policy, (copy[2] << 8) | copy[3]);
}

int is_loopback_or_any_ipv4(const unsigned char* address) {
    return address[0] == 127 || (address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0);
}

// A "." or ".." component would lead out of the directory the prefix names.
int has_dot_component(const char* path) {
    for (const char* c = path; *c != 0;) {
        while (*c == '/') ++c;
        size_t n = strcspn(c, "/");
        if ((n == 1 && c[0] == '.') || (n == 2 && c[0] == '.' && c[1] == '.')) return 1;
        c += n;
    }
    return 0;
}

int judge_unix(const unsigned char* copy, uint64_t length) {
    if (length == 2) return 1;
    if (copy[2] == 0) return 0;  // abstract name
    char name[k_sun_path_size + 1];
    uint64_t n = length - 2 < k_sun_path_size ? length - 2 : k_sun_path_size;
    memcpy(name, copy + 2, n);
    name[n] = 0;
    if (strcmp(name, "/var/run/nscd/socket") == 0 || strcmp(name, "/run/nscd/socket") == 0) return 1;
    return strncmp(name, k_resolved_prefix, sizeof(k_resolved_prefix) - 1) == 0 && !has_dot_component(name);
}

int judge_inet(const Policy* policy, const unsigned char* copy, uint64_t length) {
    if (length < 16) return 0;
    const unsigned char* address = copy + 4;
    if (is_loopback_or_any_ipv4(address) || is_local_ipv4(address)) return port_of(policy, copy);
    return 1;
}

int judge_inet6(const Policy* policy, const unsigned char* copy, uint64_t length) {
    if (length < 28) return 0;
    const unsigned char* address = copy + 8;
    static const unsigned char k_zero[16] = {};
    static const unsigned char k_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(address, k_zero, 15) == 0 && (address[15] == 0 || address[15] == 1)) return port_of(policy, copy);
    if (memcmp(address, k_mapped, 12) == 0) {
        if (is_loopback_or_any_ipv4(address + 12) || is_local_ipv4(address + 12)) return port_of(policy, copy);
        return 1;
    }
    if (is_local_ipv6(address)) return port_of(policy, copy);
    return 1;
}

}  // namespace

int is_port_allowed(const Policy* policy, int port) {
    for (uint64_t i = 0; i < policy->loopback_allow_ports.count; ++i) {
        if (policy->loopback_allow_ports.ports[i] == port) return 1;
    }
    for (uint64_t i = 0; i < policy->loopback_deny_ports.count; ++i) {
        if (policy->loopback_deny_ports.ports[i] == port) return 0;
    }
    return policy->loopback_default_allow;
}

int judge_sockaddr(const Policy* policy, const unsigned char* copy, uint64_t length) {
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    switch (family) {
    case AF_UNIX: return judge_unix(copy, length);
    case AF_INET: return judge_inet(policy, copy, length);
    case AF_INET6: return judge_inet6(policy, copy, length);
    default: return 1;
    }
}

int check_sockaddr(const Tracee* tracee, uint64_t address, uint64_t length) {
    if (address == 0 || length <= 1) return 1;
    unsigned char copy[k_sockaddr_copy];
    memset(copy, 0, sizeof(copy));
    size_t n = length < k_sockaddr_copy ? static_cast<size_t>(length) : k_sockaddr_copy;
    if (read_tracee_mem(tracee->pid, address, copy, n) != 0) return 0;
    // Only now is the copy the tracee's, of this very call.
    if (!is_call_pending(tracee)) return 0;
    return judge_sockaddr(tracee->policy, copy, length);
}
