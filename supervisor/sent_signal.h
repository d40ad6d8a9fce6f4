// Signals to another process of the tree, sent by the supervisor. The
// target is held by a pidfd taken before it is judged: if it exits and its
// pid is reused by a process outside the tree meanwhile, the pidfd still
// names the one that was judged, and the signal reaches no one.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/call_table.h"
#include "supervisor/response.h"

struct HeldTarget {
    int pidfd = -1;  // -1: the call goes ahead as judged
    pid_t group = 0;
    pid_t thread = 0;
    ~HeldTarget();
};

// Takes the pidfd of the call's target, when the call signals one process
// or thread outside the caller's own thread group and the kernel can name
// it with a pidfd (a thread, from 6.9).
void hold_signal_target(const CallRow& row, const uint64_t* args, pid_t caller, HeldTarget* held);

// Sends the allowed signal to the held target; the call's answer.
[[nodiscard]] Answer send_held_signal(const CallRow& row, const uint64_t* args, pid_t caller, const HeldTarget& held);
