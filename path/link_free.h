// Whether the kernel resolves a path without meeting a symbolic link.
#pragma once

#include "path/normalize.h"

// Whether no component of path (absolute) is a symbolic link, the last one
// included when it is followed, and every component exists but perhaps the
// last; always false on kernels without openat2. One or two lookups,
// however deep the path.
[[nodiscard]] bool is_free_of_links(const char* path, LastLink last);
