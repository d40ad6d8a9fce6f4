// Taking a path operand out of a suspended call and judging it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "launcher/policy.h"

// The call being judged and what the checks need around it.
struct Tracee {
    const Policy* policy;
    int listener;        // for confirming that the call is still pending
    uint64_t id;         // the notification
    int pid;             // the calling thread
    int child_pid;       // root of the sandbox tree
    int supervisor_pid;
};

// One path operand of a file call.
struct PathOperand {
    int dirfd;              // AT_FDCWD, a descriptor of the tracee, or negative
    uint64_t address;       // of the NUL-terminated path in the tracee
    int access;             // ACCESS_*
    int follow;             // the last component is followed if a link
    int empty_path_result;  // 1: an empty path acts on dirfd itself
};

// Copies size bytes at address out of the tracee. 0 when all arrived, -1
// otherwise (a null address included).
int read_tracee_mem(int pid, uint64_t address, void* buffer, size_t size);

// The same through "/proc/<pid>/mem": the same access check as
// process_vm_readv, for kernels and settings where that call is refused.
// Returns the count read, or -1.
ssize_t read_proc_mem(int pid, uint64_t address, void* buffer, size_t size);

// Copies the NUL-terminated string at address, at most 4095 bytes, never
// reading past the page that holds its end. 0, or -1 when unreadable.
int copy_tracee_path(int pid, uint64_t address, char* out);

// 1 when the kernel still holds the call suspended.
int is_call_pending(const Tracee* tracee);

// Judges a path operand in up to three stages: as written, resolved without
// and resolved with following the last component. Nonzero allows.
int check_tracee_path(const Tracee* tracee, const PathOperand* operand);

// Judges a call that acts on the tracee's descriptor fd itself (AT_FDCWD:
// its working directory) for one access class. Nonzero allows.
int check_tracee_descriptor(const Tracee* tracee, int fd, int access);
