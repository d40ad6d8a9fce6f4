// Set-up of the two forked processes, up to their steady state.
#pragma once

#include "policy/policy.h"

// The first fork's child: starts the sandboxed child and serves its calls.
[[noreturn]] void run_supervisor(const Policy* policy, int status_read, int status_write, char** command);
