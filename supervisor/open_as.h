// Opens for a caller whose credentials are not the supervisor's: carried
// out on a thread that takes the caller's file-system ids, groups and
// effective capabilities for the open, and gives them back after.
#pragma once

#include <sys/types.h>

#include "proc/caller_state.h"
#include "supervisor/emulated_open.h"

// Whether the open could be made with theirs; false when this thread could
// not take them (the supervisor lacks the power to, or they could not be
// confirmed), and the caller is left to open for itself. The main loop
// waits for the thread: the open itself never waits.
[[nodiscard]] bool open_judged_as(const JudgedOpen& judged, pid_t caller, const Credentials& theirs,
                                  const Credentials& own, OpenResult* result);
