// Destinations of connect and sendto.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "policy/policy.h"

// Most bytes of a socket address ever copied out of a tracee.
inline constexpr size_t k_sockaddr_copy = 128;

// The rule that decided a destination, for people asking why.
enum SocketStep : int {
    SOCKET_OTHER_FAMILY = 1,  // neither local nor Internet: left to the kernel
    SOCKET_UNNAMED,           // an unnamed local socket
    SOCKET_ABSTRACT,          // an abstract local name
    SOCKET_NAME_SERVICE,      // the sockets of nscd and systemd-resolved
    SOCKET_LOCAL_NAME,        // any other local socket name
    SOCKET_LOCAL_ALLOW,       // a local socket name below a local_socket entry
    SOCKET_SHORT_ADDRESS,     // an Internet address too short to hold one
    SOCKET_PORT_ALLOW,        // the port is in loopback_allow_ports
    SOCKET_PORT_DENY,         // the port is in loopback_deny_ports
    SOCKET_PORT_DEFAULT,      // in neither list: loopback_default_allow
    SOCKET_OPEN,              // another machine's address
};

// Why an Internet destination was judged by port.
enum SocketTarget : int { TARGET_NONE, TARGET_LOOPBACK, TARGET_ANY, TARGET_OWN_ADDRESS };

struct SocketVerdict {
    bool allowed;
    SocketStep step;
    SocketTarget target;
    int port;           // host order, for the port steps
    const char* entry;  // the local_socket entry, for SOCKET_LOCAL_ALLOW
};

// Whether the loopback port (host order) is allowed.
[[nodiscard]] bool is_port_allowed(const Policy* policy, int port);

// Judges a socket address already copied out of the caller: copy holds the
// first min(length, 128) bytes, the rest zero. Also says which rule made
// the decision when why is not null.
[[nodiscard]] bool judge_sockaddr(const Policy* policy, const unsigned char* copy, uint64_t length,
                                  SocketVerdict* why = nullptr);

// A destination as people read it, into out (size bytes): "127.0.0.1",
// "::1", a local socket's path, "@name" for an abstract one, "" for an
// unnamed one, "family N" for another family. copy is as judge_sockaddr
// takes it.
void show_sockaddr(const unsigned char* copy, uint64_t length, char* out, size_t size);
