// How each trapped file call names its paths: which arguments hold the
// directory and the path, which access class the call needs, whether it
// follows a final link and what an empty path means.
#pragma once

#include <stdint.h>

#include "launcher/arch.h"
#include "path/tracee_path.h"

enum AccessRule : uint8_t {
    ACCESS_FIXED,        // the class of the row
    ACCESS_BY_OPEN_FLAGS,
    ACCESS_BY_MODE,      // access(2) probe mode
};

enum FlagRule : uint8_t {
    RULE_NO,
    RULE_YES,
    RULE_BY_AT_FLAGS,    // follow unless AT_SYMLINK_NOFOLLOW; empty with AT_EMPTY_PATH
    RULE_BY_OPEN_FLAGS,  // follow unless O_NOFOLLOW
};

inline constexpr int8_t k_no_arg = -1;  // no directory argument: AT_FDCWD

struct PathSlot {
    int8_t dirfd_arg;
    int8_t path_arg;
    uint8_t access;       // ACCESS_* for ACCESS_FIXED
    AccessRule access_rule;
    int8_t access_arg;    // open flags or probe mode
    FlagRule follow;
    FlagRule empty;
    int8_t flags_arg;     // at-flags or open flags
};

struct FileCall {
    CallId id;
    int paths;            // 1 or 2
    PathSlot slot[2];
};

// The row for a call, or null when the call names no file by path.
const FileCall* find_file_call(CallId id);

// Builds the operand of one slot from the call's arguments. open_flags
// stands in for the argument named by the slot's open-flags rule (openat2
// keeps its flags in the tracee's memory); o_nofollow is the build's bit.
PathOperand make_operand(const PathSlot& slot, const uint64_t* args, uint64_t open_flags, unsigned o_nofollow);

// The access class of an open with these flags.
int access_of_open_flags(uint64_t flags);

// The access class of an access(2) probe with this mode.
int access_of_mode(uint64_t mode);
