// System V and POSIX inter-process objects: the tree reaches only those it
// made during the run (rules/ipc_rules.h).
#pragma once

#include <stdint.h>

#include "base/call_table.h"
#include "supervisor/pending_call.h"
#include "supervisor/response.h"

// shmget, semget and msgget, carried out by the supervisor with the
// caller's arguments, so that it knows the id of every object the tree
// makes: a key that names an object the tree did not make is refused.
[[nodiscard]] Answer perform_ipc_get(const PendingCall& call, IpcKind kind, const uint64_t* args);

// A System V call on the id in argument 0: only ids the tree made, but for
// the control commands that only report.
[[nodiscard]] bool check_ipc_id(const PendingCall& call, const CallRow& row, const uint64_t* args);

// mq_open(name, flags, mode, attributes) and mq_unlink(name).
[[nodiscard]] bool check_mq_open(const PendingCall& call, const uint64_t* args);
[[nodiscard]] bool check_mq_unlink(const PendingCall& call, const uint64_t* args);
