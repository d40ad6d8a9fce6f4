// Opening, on the caller's behalf, exactly what its open was judged to
// reach, so that the caller's path is never walked again.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <atomic>

#include "proc/caller_state.h"
#include "supervisor/judged_open.h"

// The supervisor's side of opening files for the tree, shared by the
// judging threads: whose access opens may not exceed. What each call was
// judged to reach is the judging thread's own.
struct OpenEmulation {
    bool hands_over;                // the kernel answers a call with a descriptor (5.14): opens are carried out
    std::atomic<bool> ids_changed;  // a process of the tree may no longer have own
    Credentials own;
};

// Whose credentials an open for a caller needs.
enum class OpenerIds : uint8_t {
    own,      // the supervisor's: no process of the tree has changed its own, or the caller has them
    callers,  // the caller's, which differ
    unknown,  // the caller's could not be read
};

// Until a process of the tree changes its credentials, every open is made
// with the supervisor's, and nothing is read; after, the caller's are read
// into theirs.
[[nodiscard]] OpenerIds judge_opener_ids(const OpenEmulation& emulation, pid_t caller, Credentials* theirs);

enum class OpenStep : uint8_t {
    opened,    // fd is what the caller gets
    failed,    // the call fails with error
    blocking,  // the open would wait (a FIFO's other end, a lease): a worker reopens fd with flags
};

struct OpenResult {
    OpenStep step;
    int error;
    int fd;
    bool created;    // opened made the file at the judged path: undone if the caller is gone
    uint64_t flags;  // blocking: how to reopen
};

// Opens what opened records for caller (a thread id), as the caller's own
// open would, except that the open never waits and never makes a terminal
// the supervisor's. A relative path that the whole judged path cannot be
// opened by is walked from base, the caller's directory as pin_base holds
// it (-1: held when needed).
[[nodiscard]] OpenResult open_judged(const JudgedOpen& opened, pid_t caller, int base = -1);

// Reopens held with flags, waiting as long as the open waits.
[[nodiscard]] OpenResult reopen_waiting(int held, uint64_t flags);

// Ends a reopen of held that waits for the other end of a FIFO.
void release_waiting_reopen(int held);

// Answers call id with a copy of result's descriptor, close-on-exec when
// the caller asked, or with its error; then closes the descriptor. A file
// the open created is removed again when the caller is gone.
void hand_over(int listener, uint64_t id, const OpenResult& result, bool cloexec, const char* created_path);

// Whether the supervisor can carry out calls: it walks with openat2 (Linux
// 5.6) and knows its own credentials. Opens need more, which hands_over
// says: the kernel answers a call with an installed descriptor in one
// request (Linux 5.14).
[[nodiscard]] bool start_open_emulation(OpenEmulation* emulation, int listener);
