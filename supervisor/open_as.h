// Calls carried out for a caller whose credentials are not the
// supervisor's: on a thread that takes the caller's file-system ids, groups
// and effective capabilities for the call, and gives them back after.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/call_table.h"
#include "proc/caller_state.h"
#include "supervisor/emulated_open.h"
#include "supervisor/response.h"

// Whether the open could be made with theirs; false when this thread could
// not take them (the supervisor lacks the power to, or they could not be
// confirmed), and the caller is left to open for itself. The main loop
// waits for the thread: the open itself never waits.
[[nodiscard]] bool open_judged_as(const JudgedOpen& judged, pid_t caller, const Credentials& theirs,
                                  const Credentials& own, OpenResult* result);

// The same for a change to the file system, answered in *answer.
[[nodiscard]] bool perform_change_as(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                                     const Credentials& theirs, const Credentials& own, Answer* answer);
