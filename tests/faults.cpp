// The fault points of the test-only fault build: a point fails when
// SANDBOX_FAULT names it.
#include "base/faults.h"

#include <stdlib.h>
#include <string.h>

bool is_fault_injected(const char* point) {
    const char* wanted = getenv("SANDBOX_FAULT");
    return wanted != nullptr && strcmp(wanted, point) == 0;
}
