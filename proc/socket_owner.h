// Who holds the sockets a loopback destination reaches: the kernel's socket
// table (sock_diag) names the sockets bound to a port, and the descriptor
// tables of /proc tell which processes hold them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/sandbox_tree.h"

// A destination on this machine: family AF_INET or AF_INET6, protocol
// IPPROTO_TCP, IPPROTO_UDP or IPPROTO_UDPLITE (udp_diag lists both), the
// address in network order (4 or 16 bytes), the port in host order.
struct LocalDestination {
    int family;
    int protocol;
    unsigned char address[16];
    int port;
};

// Who holds the sockets that could take a destination.
enum class Holders : uint8_t {
    unknown,  // the table or a descriptor could not be read: a doubt refuses
    nobody,   // no socket could take it
    tree,     // every one is held by a process of the tree or an orphan of it (a daemon it started)
    others,   // some are not
};

// The sockets that could take the destination: TCP listeners, or UDP
// sockets, bound to the port on that very address or on a wildcard one
// (0.0.0.0, or :: which takes IPv4 too).
[[nodiscard]] Holders find_holders(const LocalDestination& destination, const SandboxTree& tree);

// A local socket's name as the caller gave it: a path (absolute, NUL
// ended) or an abstract name (its bytes, without the leading NUL).
struct LocalName {
    bool abstract;
    char bytes[109];
    size_t length;
};

// The local socket bound to the name: for a path, the socket bound to that
// very file (nobody when the path is missing or no socket). A relative path
// is unknown here.
[[nodiscard]] Holders find_local_holders(const LocalName& name, const SandboxTree& tree);
