// The refusal log: one line per refused call, in the words of
// sandbox-policy explain, as text (key=value) or JSON. The supervisor
// writes it without ever waiting on it: a line that would block is dropped
// and counted, and the count ends the log.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "policy/policy.h"
#include "supervisor/refusal.h"

// A line is never longer, so that a write to a pipe is whole or nothing.
inline constexpr size_t k_log_line_max = 4096;

enum class LogFormat : uint8_t { text, json };

struct RefusalLog {
    int fd;          // -1: no log
    bool is_socket;  // written with send, which can be told not to wait
    LogFormat format;
    bool audit;
    // Counted by every judging thread.
    std::atomic<uint64_t> refused;
    std::atomic<uint64_t> would_refuse;
    std::atomic<uint64_t> dropped;
};

// What one log line says besides the refusal itself.
struct LineContext {
    timespec time;
    pid_t pid;
    const char* comm;  // the caller's command name
    const char* call;  // the call's name
    FlagKind flag_kind;
    uint64_t flags;
    int answer;  // the errno the call gets, or would get
};

// Writes the line for one refusal into out (k_log_line_max bytes at most,
// newline included) and returns its length. Long paths are cut to fit.
[[nodiscard]] size_t format_refusal_line(LogFormat format, const Policy* policy, const LineContext& context,
                                         const Refusal& refusal, char* out, size_t size);

// The first and last lines of a run.
[[nodiscard]] size_t format_start_line(LogFormat format, const timespec& time, bool audit, const char* command,
                                       const char* policy_blob, char* out, size_t size);
[[nodiscard]] size_t format_end_line(LogFormat format, const timespec& time, const RefusalLog& log, char* out,
                                     size_t size);

// The sentence for a refusal: explain's for a path or a destination, the
// rule's own for the others.
void describe_refusal(const Policy* policy, const Refusal& refusal, char* out, size_t size);

// Writes one line without waiting, in one call, so that the lines of
// judging threads never mix; counts it as dropped when it would.
void write_log_line(RefusalLog* log, const char* line, size_t length);

// Logs every refusal of one call: refused, or would-refuse when an audit
// lifted it.
void log_call_refusals(RefusalLog* log, const Policy* policy, pid_t pid, const char* call, int answer,
                       const CallRefusals& refusals);
