// The answer record for one notification.
#pragma once

#include <linux/seccomp.h>
#include <stdint.h>
#include <string.h>

#include "launcher/kernel_abi.h"

// answer 0 lets the kernel perform the call as issued; any other value makes
// it fail with that error number.
inline void fill_response(uint64_t id, int answer, struct seccomp_notif_resp* resp) {
    memset(resp, 0, sizeof(*resp));
    resp->id = id;
    resp->val = 0;
    resp->error = answer == 0 ? 0 : -answer;
    resp->flags = answer == 0 ? SECCOMP_USER_NOTIF_FLAG_CONTINUE : 0;
}
