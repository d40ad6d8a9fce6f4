// What an allowed open was judged to reach. The supervisor opens exactly
// that, never what the caller's path names by the time it would be walked
// again.
#pragma once

#include <stdint.h>

#include "base/kernel_abi.h"
#include "path/normalize.h"

struct JudgedOpen {
    bool recorded;
    // A second judgement of the same call (a policy nested inside the tree)
    // reached another object or read other flags: the caller changed them.
    bool conflicting;
    // path is a /proc link to the caller's descriptor, whose link read
    // expected when it was judged.
    bool descriptor;
    // The caller's path ends in "/", "." or "..": it names a directory only.
    bool ends_at_directory;
    OpenHow how;  // as the kernel would take the caller's arguments
    int dirfd;    // the caller's directory argument, for its own resolution flags
    char path[k_path_size];
    char expected[k_path_size];
    char written[k_path_size];  // the path as the caller wrote it
    // The directory a relative path started from, as its link read; "" for
    // an absolute path.
    char base[k_path_size];
};

// Forgets the last call's record: once per notification, before any
// judgement of it.
inline void clear_judged_open(JudgedOpen* opened) {
    opened->recorded = false;
    opened->conflicting = false;
}
