// How a sandbox started inside another asks the outer supervisor to judge
// its command's calls by its policy too. The request is a prctl with an
// option no kernel has: the outer filter hands it to the outer supervisor,
// which learns the caller from the kernel's notification, never from the
// request; without one the kernel answers EINVAL.
#pragma once

#include <stddef.h>
#include <stdint.h>

// prctl(k_pr_sandbox_nest, k_nest_query): 0 where a supervisor offers
// nesting.
// prctl(k_pr_sandbox_nest, k_nest_attach, blob, length): judge every call of
// the caller's descendants, present and future, by the policy blob (Base64
// text of length bytes) as well as by every policy that judges them already.
inline constexpr uint32_t k_pr_sandbox_nest = 0x53424e58;  // "SBNX"
inline constexpr uint64_t k_nest_query = 0;
inline constexpr uint64_t k_nest_attach = 1;

// The longest blob an attachment may carry, and how many attachments one
// supervisor keeps at a time: a tree that asks for more is refused, so that
// it cannot make its supervisor hold more than this.
inline constexpr size_t k_nest_blob_max = 1 << 20;
inline constexpr size_t k_nest_max = 64;
