// The fault points of the test-only fault build: a point fails when
// SANDBOX_FAULT names it.
#include "base/faults.h"

#include <stdlib.h>
#include <string.h>

bool is_fault_injected(const char* point) {
    // One point, or several separated by commas.
    const char* wanted = getenv("SANDBOX_FAULT");
    const size_t length = strlen(point);
    for (const char* at = wanted; at != nullptr && *at != 0;) {
        const char* comma = strchr(at, ',');
        const size_t part = comma == nullptr ? strlen(at) : static_cast<size_t>(comma - at);
        if (part == length && strncmp(at, point, length) == 0) return true;
        at = comma == nullptr ? nullptr : comma + 1;
    }
    return false;
}
