// Set-up of the two forked processes, up to their steady state.
#pragma once

#include "launcher/descriptors.h"
#include "policy/policy.h"

// The first fork's child: starts the sandboxed child, which keeps the
// caller's descriptors in kept and closes the others, and serves its calls.
[[noreturn]] void run_supervisor(const Policy* policy, const KeptDescriptors* kept, int status_read, int status_write,
                                 char** command);
