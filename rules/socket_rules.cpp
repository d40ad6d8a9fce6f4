#include "rules/socket_rules.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "rules/local_addresses.h"
#include "rules/path_rules.h"

namespace {

constexpr size_t k_sun_path_size = 108;
constexpr char k_resolved_prefix[] = "/run/systemd/resolve/";

// Every verdict on a destination leaves through here.
bool decide(SocketVerdict* why, bool allowed, SocketStep step, SocketTarget target = TARGET_NONE, int port = 0,
            const char* entry = nullptr) {
    if (why != nullptr) *why = {allowed, step, target, port, entry};
    return allowed;
}

bool judge_port(const Policy* policy, int port, SocketTarget target, SocketVerdict* why) {
    for (uint64_t i = 0; i < policy->loopback_allow_ports.count; ++i) {
        if (policy->loopback_allow_ports.ports[i] == port) return decide(why, true, SOCKET_PORT_ALLOW, target, port);
    }
    for (uint64_t i = 0; i < policy->loopback_deny_ports.count; ++i) {
        if (policy->loopback_deny_ports.ports[i] == port) return decide(why, false, SOCKET_PORT_DENY, target, port);
    }
    return decide(why, policy->loopback_default_allow != 0, SOCKET_PORT_DEFAULT, target, port);
}

bool port_of(const Policy* policy, const unsigned char* copy, SocketTarget target, SocketVerdict* why) {
    return judge_port(policy, (copy[2] << 8) | copy[3], target, why);
}

// Loopback, the any address (0.0.0.0), this machine's own, or none of them.
SocketTarget ipv4_target(const unsigned char* address) {
    if (address[0] == 127) return TARGET_LOOPBACK;
    if (address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0) return TARGET_ANY;
    return is_local_ipv4(address) ? TARGET_OWN_ADDRESS : TARGET_NONE;
}

// A "." or ".." component would lead out of the directory the prefix names.
bool has_dot_component(const char* path) {
    for (const char* c = path; *c != 0;) {
        while (*c == '/') ++c;
        size_t n = strcspn(c, "/");
        if ((n == 1 && c[0] == '.') || (n == 2 && c[0] == '.' && c[1] == '.')) return true;
        c += n;
    }
    return false;
}

bool judge_unix(const Policy* policy, const unsigned char* copy, uint64_t length, SocketVerdict* why) {
    if (length == 2) return decide(why, true, SOCKET_UNNAMED);
    if (copy[2] == 0) return decide(why, false, SOCKET_ABSTRACT);
    char name[k_sun_path_size + 1];
    uint64_t n = length - 2 < k_sun_path_size ? length - 2 : k_sun_path_size;
    memcpy(name, copy + 2, n);
    name[n] = 0;
    if (strcmp(name, "/var/run/nscd/socket") == 0 || strcmp(name, "/run/nscd/socket") == 0) {
        return decide(why, true, SOCKET_NAME_SERVICE);
    }
    if (strncmp(name, k_resolved_prefix, sizeof(k_resolved_prefix) - 1) == 0 && !has_dot_component(name)) {
        return decide(why, true, SOCKET_NAME_SERVICE);
    }
    // The user's own agents (an SSH agent, a session bus), named in the
    // policy; a dot component could lead out of the entry.
    const char* entry =
        name[0] == '/' && !has_dot_component(name) ? find_subpath_entry(&policy->local_socket_allow, name) : nullptr;
    if (entry != nullptr) return decide(why, true, SOCKET_LOCAL_ALLOW, TARGET_NONE, 0, entry);
    return decide(why, false, SOCKET_LOCAL_NAME);
}

bool judge_inet(const Policy* policy, const unsigned char* copy, uint64_t length, SocketVerdict* why) {
    if (length < 16) return decide(why, false, SOCKET_SHORT_ADDRESS);
    SocketTarget target = ipv4_target(copy + 4);
    if (target != TARGET_NONE) return port_of(policy, copy, target, why);
    return decide(why, true, SOCKET_OPEN);
}

bool judge_inet6(const Policy* policy, const unsigned char* copy, uint64_t length, SocketVerdict* why) {
    if (length < 28) return decide(why, false, SOCKET_SHORT_ADDRESS);
    const unsigned char* address = copy + 8;
    static const unsigned char k_zero[16] = {};
    static const unsigned char k_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(address, k_zero, 15) == 0 && (address[15] == 0 || address[15] == 1)) {
        return port_of(policy, copy, address[15] == 1 ? TARGET_LOOPBACK : TARGET_ANY, why);
    }
    if (memcmp(address, k_mapped, 12) == 0) {
        SocketTarget target = ipv4_target(address + 12);
        if (target != TARGET_NONE) return port_of(policy, copy, target, why);
        return decide(why, true, SOCKET_OPEN);
    }
    if (is_local_ipv6(address)) return port_of(policy, copy, TARGET_OWN_ADDRESS, why);
    return decide(why, true, SOCKET_OPEN);
}

}  // namespace

bool is_port_allowed(const Policy* policy, int port) {
    return judge_port(policy, port, TARGET_NONE, nullptr);
}

bool judge_sockaddr(const Policy* policy, const unsigned char* copy, uint64_t length, SocketVerdict* why) {
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    switch (family) {
    case AF_UNIX: return judge_unix(policy, copy, length, why);
    case AF_INET: return judge_inet(policy, copy, length, why);
    case AF_INET6: return judge_inet6(policy, copy, length, why);
    default: return decide(why, true, SOCKET_OTHER_FAMILY);
    }
}

void show_sockaddr(const unsigned char* copy, uint64_t length, char* out, size_t size) {
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    out[0] = 0;
    const char* shown = nullptr;
    switch (family) {
    case AF_INET:
        if (length >= 8) shown = inet_ntop(AF_INET, copy + 4, out, static_cast<socklen_t>(size));
        break;
    case AF_INET6:
        if (length >= 24) shown = inet_ntop(AF_INET6, copy + 8, out, static_cast<socklen_t>(size));
        break;
    case AF_UNIX: {
        const size_t n = length > 2 ? static_cast<size_t>(length - 2) : 0;
        const size_t name = n < k_sun_path_size ? n : k_sun_path_size;
        const char* path = reinterpret_cast<const char*>(copy + 2);
        if (name == 0) return;
        // An abstract name has no end of its own: its bytes run to the length.
        if (path[0] == 0) {
            snprintf(out, size, "@%.*s", static_cast<int>(name - 1), path + 1);
        } else {
            snprintf(out, size, "%.*s", static_cast<int>(strnlen(path, name)), path);
        }
        return;
    }
    default: break;
    }
    if (shown == nullptr) snprintf(out, size, "family %d", static_cast<int>(family));
}
