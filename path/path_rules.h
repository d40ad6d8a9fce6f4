// The path rules: whether the policy allows one access class on one path.
#pragma once

#include "launcher/policy.h"

enum Access : int {
    ACCESS_STAT = 1,
    ACCESS_READ = 2,
    ACCESS_WRITE = 3,
    ACCESS_DELETE = 4,
    ACCESS_EXEC = 5,
};

// 1 when path equals prefix or lies below it at a component boundary.
// A null or empty prefix covers nothing; "/" covers every absolute path.
int is_subpath(const char* path, const char* prefix);

// 1 when some non-empty entry of list covers path.
int list_has_subpath(const StringList* list, const char* path);

// 1 allows, 0 denies. canonical is 0 for the path as written (denials only)
// and 1 for a resolved path (denials and every positive requirement).
int is_single_path_allowed(const Policy* policy, const char* path, int access, int child_pid, int supervisor_pid,
                           int canonical);
