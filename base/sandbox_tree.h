// Who the sandbox is: the command's first process, the root of the tree
// of processes that run under the filter, and the supervisor that judges
// their calls and is never one of them.
#pragma once

#include <sys/types.h>

struct SandboxTree {
    pid_t child;       // the command's process, root of the sandbox tree
    int child_pidfd;   // a pidfd on it, or -1 where none is held
    pid_t supervisor;  // the supervisor process
};
