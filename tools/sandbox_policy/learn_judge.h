// A logged refusal judged again by a policy, with the library's own
// functions, and the words learn and explain show for it.
#pragma once

#include <string>

#include "base/access.h"
#include "policy/policy.h"
#include "tools/sandbox_policy/learn.h"
#include "tools/sandbox_policy/log_reader.h"

struct Judgement {
    bool judged = false;  // a policy was there to judge by
    bool allowed = false;
    RefusalKind kind = RefusalKind::liftable;
    bool hidden = false;  // refused as hidden, not as merely unwritable
    std::string rule;     // explain's rule name
    std::string entry;    // the entry that decided, or ""
    std::string reason;
};

// The path in its access class, as the supervisor judges it after making
// it absolute: every stage, a final link not followed (writes and
// executions follow it anyway).
[[nodiscard]] Judgement judge_logged_path(const Policy* policy, Access access, const std::string& path);
// A numeric address and a port; not judged when the address is not one.
[[nodiscard]] Judgement judge_destination_port(const Policy* policy, const std::string& address, int port);

// The path the refusal was judged on: judged, else path when absolute, else "".
[[nodiscard]] std::string logged_path(const LogEvent& event);
// "read /etc/x", "connect 127.0.0.1 port 22", "ptrace target 4242".
[[nodiscard]] std::string subject_of(const LogEvent& event);
// The logged reason and rule: "a program no path names ... (exec_without_path)".
[[nodiscard]] std::string logged_reason(const LogEvent& event);
// What forbids a denied path or port, and what the user could change.
[[nodiscard]] std::string fix_for_denial(const std::string& rule, const std::string& entry, const std::string& path);

// /proc/N and below: judged by the process tree, never by a rule.
[[nodiscard]] bool is_process_path(const std::string& path);
// A descriptor's link to a file deleted since it was opened: "/a/b (deleted)".
[[nodiscard]] bool is_deleted_file(const std::string& path);
// Whether a source line can hold the path as a rule's value.
[[nodiscard]] bool is_writable_as_source(const std::string& path);
