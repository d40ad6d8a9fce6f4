// The exit statuses of both programs' own failures, one set for all.
#pragma once

enum ExitStatus : int {
    // sandbox-policy: lint warned, or explain refused; a bad command line
    // or source.
    EXIT_FINDINGS = 1,
    EXIT_TOOL_USAGE = 2,

    // sandbox. Each reaches the user as the launcher's status, but 115 and
    // 116: those end the command's process before it runs, and the
    // supervisor, seeing the listener channel close, ends with 118.
    EXIT_USAGE = 110,
    EXIT_NO_MEMORY = 111,    // sandbox-policy too
    EXIT_BAD_PATTERN = 112,  // sandbox-policy too
    EXIT_SOCKETPAIR = 113,
    EXIT_FORK_CHILD = 114,
    // The command's process could not confine itself: lower its core-file
    // limit to 0, keep its channel end among the descriptors it keeps, or
    // install the filter.
    EXIT_FILTER = 115,
    EXIT_SEND_LISTENER = 116,
    EXIT_READ_ACK = 117,  // relayed as the command's own status
    EXIT_RECV_LISTENER = 118,
    EXIT_PIPE_OR_MASK = 119,
    EXIT_FORK_SUPERVISOR = 120,
    EXIT_WRITE_PID = 121,
    EXIT_SIGNALFD = 122,
    EXIT_WRITE_ACK = 123,
    EXIT_NO_PID = 124,
    EXIT_NO_STATUS = 125,
    EXIT_EXEC_FAILED = 126,
    EXIT_NOT_FOUND = 127,
};
