// Whether the kernel resolves a path without meeting a symbolic link.
#pragma once

// 1 when every component of path (absolute) exists and none is a symbolic
// link, the last one included when follow is set; 0 otherwise, and always
// on kernels without openat2. One lookup, however deep the path.
int is_free_of_links(const char* path, int follow);
