// Taking destinations out of a pending call and judging them: the address
// of connect and sendto, and those inside message headers (sendmsg,
// sendmmsg).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "supervisor/pending_call.h"

// struct msghdr and struct mmsghdr of the 64-bit ABIs.
inline constexpr size_t k_msghdr_size = 56;
inline constexpr size_t k_mmsghdr_size = 64;
// The kernel sends at most this many messages in one call.
inline constexpr uint64_t k_max_messages = 1024;

// Copies the address the caller passed to connect on socket fd and judges
// it. A null address or a length of 0 or 1 is left to the kernel. A
// loopback port the policy refuses is allowed when the sockets that would
// take the connection are all the tree's own, and so is a local socket a
// process of the tree holds: the tree talks to itself.
[[nodiscard]] bool check_sockaddr(const PendingCall& call, int fd, uint64_t address, uint64_t length);

// The same for a datagram sent on socket fd, judged by the family the
// kernel will use: an IPv4 socket takes AF_UNSPEC for AF_INET, an IPv6 one
// for no address at all (its connected peer).
[[nodiscard]] bool check_sent_to(const PendingCall& call, int fd, uint64_t address, uint64_t length);

// Judges the msg_name of each of count headers, stride bytes apart, at
// address in the caller, like a destination sent to on socket fd. A header
// without a name passes. False when one is refused or a header cannot be
// read.
[[nodiscard]] bool check_message_destinations(const PendingCall& call, int fd, uint64_t address, uint64_t count,
                                              size_t stride);

// bind: a local socket's name makes a file there, judged as a write that
// does not follow a final link. Unnamed and abstract names, and other
// families, pass.
[[nodiscard]] bool check_bind(const PendingCall& call, uint64_t address, uint64_t length);
