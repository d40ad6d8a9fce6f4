// Who holds the sockets a loopback destination reaches: the kernel's socket
// table (sock_diag) names the sockets bound to a port, and the descriptor
// tables of /proc tell which processes hold them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/sandbox_tree.h"

// A destination on this machine: family AF_INET or AF_INET6, protocol
// IPPROTO_TCP or IPPROTO_UDP, the address in network order (4 or 16
// bytes), the port in host order.
struct LocalDestination {
    int family;
    int protocol;
    unsigned char address[16];
    int port;
};

// Whether every socket that could take the destination is held by a
// process of the tree, and there is at least one: TCP listeners, or UDP
// sockets, bound to the port on that very address or on a wildcard one
// (0.0.0.0, or :: which takes IPv4 too). False when the table or a
// descriptor cannot be read, so that a doubt refuses.
[[nodiscard]] bool is_served_by_tree(const LocalDestination& destination, const SandboxTree& tree);

// A local socket's name as the caller gave it: a path (absolute, NUL
// ended) or an abstract name (its bytes, without the leading NUL).
struct LocalName {
    bool abstract;
    char bytes[109];
    size_t length;
};

// Whether the local socket bound to the name is held by a process of the
// tree: for a path, the socket bound to that very file. False when there is
// none or the table cannot be read; a relative path is never the tree's
// here.
[[nodiscard]] bool is_local_socket_of_tree(const LocalName& name, const SandboxTree& tree);
