// Taking a path operand out of a pending call and judging it.
#pragma once

#include <stdint.h>

#include "base/access.h"
#include "path/normalize.h"
#include "supervisor/pending_call.h"

// One path operand of a file call, as the call's arguments give it.
struct PathOperand {
    int dirfd;         // AT_FDCWD, a descriptor of the caller, or negative
    uint64_t address;  // of the NUL-terminated path in the caller
    Access access;
    LastLink last;             // whether a final link is followed
    bool empty_acts_on_dirfd;  // an empty path names the descriptor itself
    bool null_acts_on_dirfd;   // so does a null path
};

// Judges a path operand in up to three stages: as written, resolved without
// and resolved with following the last component.
[[nodiscard]] bool check_tracee_path(const PendingCall& call, const PathOperand& operand);

// The same for a path already copied out of the caller (raw, relative to
// dirfd), from the step that makes it absolute on.
[[nodiscard]] bool check_path_text(const PendingCall& call, int dirfd, const char* raw, Access access, LastLink last);

// Judges a call that acts on the caller's descriptor fd itself (AT_FDCWD:
// its working directory) for one access class.
[[nodiscard]] bool check_tracee_descriptor(const PendingCall& call, int fd, Access access);
