// The words for the rules' decisions: the rule names, the policy entries
// and the sentences that sandbox-policy explain prints and the refusal log
// writes. One vocabulary, written once.
#pragma once

#include <stddef.h>

#include "base/access.h"
#include "path/normalize.h"
#include "policy/policy.h"
#include "rules/path_rules.h"
#include "rules/socket_rules.h"

// An entry names a path; the sentence may quote it and a port besides.
inline constexpr size_t k_entry_text_size = k_path_size + 32;
inline constexpr size_t k_reason_text_size = k_path_size + 160;

struct VerdictText {
    const char* rule;                 // a short name: hidden, deny, not_writable, loopback_default
    char entry[k_entry_text_size];    // the entry that decided, "deny /home/u/.ssh", or ""
    char reason[k_reason_text_size];  // the same in words
};

// stat, read, write, delete, exec; "" for no class.
[[nodiscard]] const char* name_of_access(Access access);

// The rule name of an entry of policy, found by the entry's own address:
// visible, deny, write, hidden_root, deny_single, ...
[[nodiscard]] const char* name_of_entry_rule(const Policy* policy, const char* entry);

// Words for a path verdict on path, in the form judged.
void describe_path_verdict(const Policy* policy, const RuleVerdict& verdict, PathForm form, const char* path,
                           VerdictText* out);

// Words for a socket verdict on a destination shown as address.
void describe_socket_verdict(const Policy* policy, const SocketVerdict& verdict, const char* address, VerdictText* out);

// Whether a refusal by this step is one a rule of the policy makes, and so
// one a rule could lift: the denials, hiding, and missing write allowances.
// The others protect the machine whatever the policy says.
[[nodiscard]] bool is_policy_step(RuleStep step);
[[nodiscard]] bool is_policy_socket_step(SocketStep step);
