// A file call's path operands, taken from its row of the call table and
// its arguments, and judged in order.
#pragma once

#include <stdint.h>

#include "base/call_table.h"
#include "supervisor/path_check.h"
#include "supervisor/pending_call.h"

// The operand of one path argument. open_flags stands in for the argument
// that an open-flags rule names (openat2 keeps its flags in the caller's
// memory); o_nofollow is the build's bit.
[[nodiscard]] PathOperand make_operand(const PathArg& arg, const uint64_t* args, uint64_t open_flags,
                                       unsigned o_nofollow);

// The access class of an open with these flags.
[[nodiscard]] Access access_of_open_flags(uint64_t flags);

// The access class of an access(2) probe with this mode.
[[nodiscard]] Access access_of_mode(uint64_t mode);

// Whether every path of the call is allowed, judged in the row's order; a
// refused path ends the judgement before the next one is read.
[[nodiscard]] bool check_file_call(const PendingCall& call, const CallRow& row, const uint64_t* args);
