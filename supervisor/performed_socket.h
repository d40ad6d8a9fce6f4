// Connections and sends that the supervisor makes itself, on the caller's
// own socket (taken with pidfd_getfd), to the destinations it judged: the
// caller cannot change an address once it has been read.
#pragma once

#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/call_table.h"
#include "rules/socket_rules.h"
#include "supervisor/judged_open.h"
#include "supervisor/response.h"

// A connect, or the send of one message, that waits (a blocking socket):
// carried out by a worker.
struct SocketJob {
    uint64_t id;  // the notification it answers
    int socket;   // the caller's socket; the job closes it
    int pidfd;    // the caller's process, to tell when it has exited; the job closes it
    Judge judge;  // connect, sendto, sendmsg or sendmmsg
    pid_t caller;
    uint64_t source;  // sendto: the data; sendmsg and sendmmsg: the message's header
    uint64_t length;  // sendto: the data's length
    int flags;
    bool stream;  // a stream socket: a send longer than a buffer is cut short, not refused
    JudgedDestination destination;
};

// What the caller's call becomes.
enum class SocketCallStep : uint8_t {
    goes_ahead,  // the caller makes it: a family the supervisor does not connect for, or a kernel that
                 // refuses to hand the socket over
    answered,    // answer holds the result
    queued,      // a worker answers
};

// Carries out an allowed connect or destination-carrying send, whose
// destinations judged records, for the call notif; a worker answers a
// queued one through listener.
[[nodiscard]] SocketCallStep carry_out_socket_call(int listener, const CallRow& row, const seccomp_notif& notif,
                                                   const JudgedOpen& judged, Answer* answer);

// A queued job's answer, waiting as long as the call waits.
[[nodiscard]] Answer run_socket_job(const SocketJob& job);
