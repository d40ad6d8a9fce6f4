// Whether the kernel resolves a path without meeting a symbolic link.
#pragma once

// 1 when no component of path (absolute) is a symbolic link, the last one
// included when follow is set, and every component exists but perhaps the
// last; 0 otherwise, and always on kernels without openat2. One or two
// lookups, however deep the path.
int is_free_of_links(const char* path, int follow);
