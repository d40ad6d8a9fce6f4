// The kernel's outer bound on the tree, where the kernel has Landlock: a
// ruleset no narrower than the policy (rules/kernel_bound.h), made by the
// launcher before the command's process starts and entered by that process
// before its system-call filter.
#pragma once

#include "launcher/descriptors.h"
#include "policy/policy.h"

struct KernelBound {
    int ruleset = -1;  // -1: the run goes without
    int abi = 0;       // the kernel's Landlock version; 0 without
};

// Decides once, from the kernel's answer, whether the bound applies (not on
// ABI 1, whose every rename or link across directories fails; not where the
// kernel or a container profile refuses Landlock), and builds its ruleset:
// the policy's trees, and the files the command's own descriptors in kept
// (and 0, 1, 2) name, with the access they were opened for.
[[nodiscard]] KernelBound prepare_kernel_bound(const Policy& policy, const KeptDescriptors& kept);

// In the command's process, with no new privileges set: enters the bound.
[[nodiscard]] bool enter_kernel_bound(int ruleset);
