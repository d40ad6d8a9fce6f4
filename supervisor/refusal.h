// Why a call was refused, kept by the checks that refuse it: the answer's
// errno and the refusal log both come from it, so the log holds the same
// decision, not a second judgement.
#pragma once

#include <stdint.h>

#include "base/access.h"
#include "path/normalize.h"
#include "policy/policy.h"
#include "rules/path_rules.h"
#include "rules/socket_rules.h"
#include "rules/staged_check.h"

enum class RefusalKind : uint8_t {
    path,        // a path rule: verdict, at stage
    unresolved,  // a path that cannot be resolved within the kernel's limits
    socket,      // a destination rule: socket
    unreadable,  // the caller could not be read: error
    other,       // rule names the reason
};

// Stages besides the three of a path: a descriptor's open file, and the
// interpreter or loader of a program being executed.
inline constexpr int k_stage_descriptor = STAGE_COUNT;
inline constexpr int k_stage_interpreter = STAGE_COUNT + 1;

struct Refusal {
    RefusalKind kind;
    bool lifted;  // an audit let the call through
    Access access;
    int stage;
    RuleVerdict verdict;
    SocketVerdict socket;
    const char* rule;           // other: the rule's name
    int error;                  // unreadable: errno
    int answer;                 // the kernel's own errno, which the tree may learn; 0: the judge's
    bool dropped;               // a datagram no socket would take: sent as the kernel would, to no one
    int fd;                     // the caller's descriptor, for a descriptor stage; -1 for none
    long target;                // a process or object the call names; -1 for none
    char written[k_path_size];  // the path as written, a destination as shown, or ""
    char judged[k_path_size];   // the path the deciding stage judged, or ""
    char program[k_path_size];  // the program whose interpreter this is, or ""
};

inline constexpr int k_max_refusals = 4;

// What one call was refused for. An audit lets through the refusals a rule
// of the policy could lift, and keeps judging, so that one call may report
// several: each stage and each path that would be refused.
// The flags of a file call that the log shows, and how to read them.
enum class FlagKind : uint8_t { none, open, access_mode, at };

struct CallRefusals {
    bool audit;
    bool gone;  // the call ended while judged: nothing to report
    FlagKind flag_kind;
    uint64_t flags;
    uint8_t count;
    Refusal items[k_max_refusals];
};

// Starts a new call's record.
void clear_refusals(CallRefusals* refusals);

// A new entry, with its fields at their defaults, or null when nothing is
// kept (no log) or the record is full.
[[nodiscard]] Refusal* add_refusal(CallRefusals* refusals, RefusalKind kind, Access access);

// Each keeps its refusal when a log is written, and returns false: the call
// is refused. gone: the call ended while it was judged, nothing to report.
// unreadable: the caller, or what it named (written), could not be read;
// answer, when not 0, is the kernel's own errno for the call.
// for_rule: refused by the named rule, on judged if a path.
[[nodiscard]] bool refuse_gone(CallRefusals* refusals);
[[nodiscard]] bool refuse_unreadable(CallRefusals* refusals, Access access, int error, const char* written,
                                     int answer = 0);
[[nodiscard]] bool refuse_for_rule(CallRefusals* refusals, Access access, const char* rule, const char* judged = "",
                                   long target = -1);

// The errno a refused call gets, decided by the first refusal an audit did
// not lift: the kernel's own errno where the check found the call would
// fail anyway (a descriptor the caller lacks, a destination nothing
// listens on, a path it could not resolve either: ELOOP, ENAMETOOLONG);
// for a path, ENOENT when it is hidden and the policy says hidden paths
// are missing; else otherwise.
[[nodiscard]] int refusal_error(const Policy* policy, const CallRefusals* refusals, int otherwise);

// Whether the first refusal an audit did not lift is of a datagram that no
// socket would take: the call then succeeds without sending, as it would
// for the kernel, which drops it.
[[nodiscard]] bool is_dropped_datagram(const CallRefusals* refusals);

// Whether the audit lifts this refusal: a rule of the policy made it.
[[nodiscard]] bool is_liftable(const Refusal& refusal);
