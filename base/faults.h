// Test-only fault injection. A test build with SANDBOX_FAULTS set makes the
// step named by the environment variable SANDBOX_FAULT fail, so that every
// failure status of the launcher can be checked. The shipped program is
// built without it: every fault point is the constant false.
#pragma once

#if defined(SANDBOX_FAULTS) && SANDBOX_FAULTS
bool is_fault_injected(const char* point);
#define FAULT_AT(point) is_fault_injected(point)
#else
#define FAULT_AT(point) false
#endif
