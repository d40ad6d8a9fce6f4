// Changes to the file system that the supervisor carries out on what it
// judged: the directory that holds each operand is opened without following
// a link the judgement did not see, and the call's own "at" form runs there.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/call_table.h"
#include "supervisor/judged_open.h"
#include "supervisor/response.h"

// The call's answer: its result, or the error the kernel gave.
[[nodiscard]] Answer perform_change(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller);
