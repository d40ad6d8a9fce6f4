// A trapped call waiting for its answer: what its checks need around it,
// reading what it names out of the calling thread, and confirming that it
// is still the call it was.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/sandbox_tree.h"
#include "policy/policy.h"

struct TreeObjects;
struct CallRefusals;
struct JudgedOpen;

struct PendingCall {
    const Policy* policy;
    int listener;  // for confirming that the call is still pending
    uint64_t id;   // the notification
    pid_t pid;     // the calling thread
    SandboxTree tree;
    TreeObjects* made;             // the inter-process objects the tree made
    CallRefusals* refusals;        // why the call is refused, when a log is written; else null
    JudgedOpen* opened = nullptr;  // an open the supervisor carries out: what was judged; else null
};

// Copies size bytes at address out of process pid; false unless all
// arrived (a null address included).
[[nodiscard]] bool read_tracee_mem(pid_t pid, uint64_t address, void* buffer, size_t size);

// The same through "/proc/<pid>/mem": the same access check as
// process_vm_readv, for kernels and settings where that call is refused.
// Returns the count read, or -1.
[[nodiscard]] ssize_t read_proc_mem(pid_t pid, uint64_t address, void* buffer, size_t size);

// Copies the NUL-terminated string at address, at most 4095 bytes, never
// reading past the page that holds its end. False when unreadable.
[[nodiscard]] bool copy_tracee_path(pid_t pid, uint64_t address, char* out);

// Whether the kernel still holds the call suspended. Everything read about
// a call belongs to it only if it is: a thread that died and whose id was
// reused would have answered for another process.
[[nodiscard]] bool is_call_pending(const PendingCall& call);
