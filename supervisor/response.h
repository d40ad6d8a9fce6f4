// The answer to one trapped call, and the record that carries it to the
// kernel.
#pragma once

#include <errno.h>
#include <linux/seccomp.h>
#include <stdint.h>
#include <string.h>

#include "base/kernel_abi.h"

struct Answer {
    int error;       // the call fails with this error; 0: it goes ahead
    bool performed;  // the supervisor carried the call out: it returns value
    int64_t value;
    bool unhandled;  // refused because no row of the call table judges the number
};

inline constexpr Answer k_answer_continue = {0, false, 0, false};

// The call fails with error.
inline Answer answer_error(int error) {
    return Answer{error, false, 0, false};
}

// The supervisor carried the call out: it returns value.
inline Answer answer_value(int64_t value) {
    return Answer{0, true, value, false};
}

// A call the supervisor made itself: its result, or errno when it failed.
inline Answer answer_of_result(long result, int64_t value = 0) {
    return result < 0 ? answer_error(errno) : answer_value(value);
}

// Whether the answer lets the call go ahead as issued.
inline bool is_continue(const Answer& answer) {
    return answer.error == 0 && !answer.performed && !answer.unhandled;
}

// The kernel performs the call as issued, unless the answer is an error or
// the supervisor's own result.
inline void fill_response(uint64_t id, const Answer& answer, struct seccomp_notif_resp* resp) {
    memset(resp, 0, sizeof(*resp));
    resp->id = id;
    if (answer.error != 0) {
        resp->error = -answer.error;
    } else if (answer.performed) {
        resp->val = answer.value;
    } else {
        resp->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    }
}
