// Whether an Internet address is one of this machine's own: a server bound
// to every address answers there just as it does on loopback.
#pragma once

// Whether the 4-byte IPv4 address (network order) belongs to an interface
// of this machine at the moment of asking; false when unknown.
[[nodiscard]] bool is_local_ipv4(const unsigned char* address);

// The same for a 16-byte IPv6 address.
[[nodiscard]] bool is_local_ipv6(const unsigned char* address);
