// Destinations of connect and sendto.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "launcher/policy.h"

struct Tracee;

// Most bytes of a socket address ever copied out of a tracee.
inline constexpr size_t k_sockaddr_copy = 128;

// 1 when the loopback port (host order) is allowed.
int is_port_allowed(const Policy* policy, int port);

// Judges a socket address already copied out of the tracee: copy holds the
// first min(length, 128) bytes, the rest zero. 1 allows, 0 denies.
int judge_sockaddr(const Policy* policy, const unsigned char* copy, uint64_t length);

// Copies the address the tracee passed and judges it. A null address or a
// length of 0 or 1 is left to the kernel. 1 allows, 0 denies.
int check_sockaddr(const Tracee* tracee, uint64_t address, uint64_t length);
