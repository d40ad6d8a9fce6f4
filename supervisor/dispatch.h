// Turning one trapped call into an answer.
#pragma once

#include <linux/seccomp.h>

#include "launcher/policy.h"

// Answers: 0 lets the kernel perform the call; otherwise the call fails with
// this error number.
inline constexpr int k_answer_continue = 0;

int dispatch_notification(const Policy* policy, int listener, const struct seccomp_notif* notif, int child_pid,
                          int supervisor_pid);
