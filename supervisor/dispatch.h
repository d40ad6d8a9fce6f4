// Turning one trapped call into an answer: its row of the call table says
// how it is judged.
#pragma once

#include <linux/seccomp.h>

#include "base/sandbox_tree.h"
#include "policy/policy.h"
#include "supervisor/response.h"

// A number that no row judges is refused with EPERM: the filter and the
// table come from the same rows, so only a fault reaches that answer.
[[nodiscard]] Answer dispatch_notification(const Policy* policy, int listener, const SandboxTree& tree,
                                           const struct seccomp_notif& notif);
