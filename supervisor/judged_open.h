// What an allowed open was judged to reach. The supervisor opens exactly
// that, never what the caller's path names by the time it would be walked
// again.
#pragma once

#include <stdint.h>

#include "base/kernel_abi.h"
#include "path/normalize.h"
#include "rules/socket_rules.h"

// One path operand as it was judged.
struct JudgedTarget {
    // path is a /proc link to the caller's descriptor, whose link read
    // expected when it was judged.
    bool descriptor;
    // The caller's path ends in "/", "." or "..": it names a directory only.
    bool ends_at_directory;
    // path is the walk's end with its last link followed, as the call
    // follows it.
    bool followed;
    int dirfd;  // the caller's directory argument
    char path[k_path_size];
    // For a descriptor, what its link read; for a path, the path with its
    // last link not followed, for calls that follow it or not by their flags.
    char expected[k_path_size];
    char written[k_path_size];  // as the caller wrote it, when openat2's own limits need it
    // The directory a relative path started from, as its link read; "" for
    // an absolute path.
    char base[k_path_size];
};

inline constexpr size_t k_judged_messages = 64;

struct JudgedDestination {
    uint32_t length;  // 0: the message names none
    unsigned char bytes[k_sockaddr_copy];
};

struct JudgedOpen {
    // A second judgement of the same call (a policy nested inside the tree)
    // reached another object or read other flags: the caller changed them.
    bool conflicting;
    uint8_t count;  // operands the first judgement recorded, in the row's order
    uint8_t next;   // the operand the judgement under way records next
    OpenHow how;    // an open's flags, as the kernel would take the caller's arguments
    JudgedTarget targets[2];
    // The destinations of a connect or a send (of sendmmsg's first
    // k_judged_messages messages), as the first judgement copied them: the
    // supervisor connects and sends to these copies.
    bool has_destination;        // one of them names a destination
    uint16_t destination_count;  // recorded
    uint16_t destination_next;   // the one the judgement under way records or compares next
    JudgedDestination destinations[k_judged_messages];
};

// Each judging thread keeps the record of the call it judges; a run has at
// most this many.
inline constexpr int k_judging_threads_max = 64;

// Whether the call's operands were recorded.
inline bool is_recorded(const JudgedOpen& opened) {
    return opened.count > 0;
}

// Forgets the last call's record: once per notification, before any
// judgement of it.
inline void clear_judged_open(JudgedOpen* opened) {
    opened->conflicting = false;
    opened->count = 0;
    opened->next = 0;
    opened->has_destination = false;
    opened->destination_count = 0;
    opened->destination_next = 0;
}
