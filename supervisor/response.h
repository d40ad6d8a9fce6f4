// The answer to one trapped call, and the record that carries it to the
// kernel.
#pragma once

#include <linux/seccomp.h>
#include <stdint.h>
#include <string.h>

#include "base/kernel_abi.h"

struct Answer {
    int error;       // 0 lets the kernel perform the call; otherwise it fails with this error
    bool unhandled;  // refused because no row of the call table judges the number
};

inline constexpr Answer k_answer_continue = {0, false};

inline void fill_response(uint64_t id, const Answer& answer, struct seccomp_notif_resp* resp) {
    memset(resp, 0, sizeof(*resp));
    resp->id = id;
    resp->val = 0;
    resp->error = answer.error == 0 ? 0 : -answer.error;
    resp->flags = answer.error == 0 ? SECCOMP_USER_NOTIF_FLAG_CONTINUE : 0;
}
