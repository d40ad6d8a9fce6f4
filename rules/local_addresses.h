// Whether an Internet address is one of this machine's own: a server bound
// to every address answers there just as it does on loopback.
#pragma once

// 1 when the 4-byte IPv4 address (network order) belongs to an interface
// of this machine at the moment of asking, 0 when not or unknown.
int is_local_ipv4(const unsigned char* address);

// The same for a 16-byte IPv6 address.
int is_local_ipv6(const unsigned char* address);
