// Inter-process objects: System V shared memory, semaphore sets and message
// queues; POSIX message queues; POSIX shared memory and semaphores, which
// are files in /dev/shm. Other programs of the same user make them too, so
// the tree reaches only those it made during the run; the supervisor keeps
// the record (supervisor/tree_objects.h), these rules decide on it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/access.h"
#include "base/call_table.h"

// The named kinds: a POSIX message queue's name (as mq_open takes it,
// without its leading "/", the same as its file in /dev/mqueue), and the
// first component of a path below /dev/shm.
enum class NamedKind : uint8_t { message_queue, shared_memory };

// The kind and the object's name of a path inside /dev/shm or /dev/mqueue
// (the first component below either), into name (size bytes). False for
// any other path, the two directories themselves included.
[[nodiscard]] bool name_of_ipc_path(const char* path, NamedKind* kind, char* name, size_t size);

enum class ObjectRuling : uint8_t {
    allow,
    allow_and_record,  // the call may make the object: it becomes the tree's
    refuse,
};

// An access to a named object: one the tree made is its own; one that does
// not exist may be made (by a write or a rename onto it, recorded then) or
// looked for in vain; one that exists and that the tree did not make is not
// reachable at all, its metadata included.
[[nodiscard]] ObjectRuling judge_named_object(Access access, bool made_by_tree, bool exists);

// System V control commands that report on the system or an object's
// metadata (IPC_STAT, IPC_INFO, SHM_STAT and the like, as /proc/sysvipc
// shows anyway) rather than reach an object's contents.
// The numbers differ in meaning between the kinds (SHM_LOCK is MSG_STAT's
// number): they are read by kind.
[[nodiscard]] bool is_ipc_report_command(IpcKind kind, int command);
