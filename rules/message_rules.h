// Destinations carried inside message headers (sendmsg, sendmmsg).
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Tracee;

// struct msghdr and struct mmsghdr of the 64-bit ABIs.
inline constexpr size_t k_msghdr_size = 56;
inline constexpr size_t k_mmsghdr_size = 64;
// The kernel sends at most this many messages in one call.
inline constexpr uint64_t k_max_messages = 1024;

// Judges the msg_name of each of count headers, stride bytes apart, at
// address in the tracee, like a sendto destination. A header without a name
// passes. 1 when every one is allowed; 0 when one is refused or a header
// cannot be read.
int check_message_destinations(const Tracee* tracee, uint64_t address, uint64_t count, size_t stride);
