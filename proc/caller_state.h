// What /proc says about a caller that an open on its behalf must respect:
// its umask, its controlling terminal and its credentials.
#pragma once

#include <stdint.h>
#include <sys/types.h>

// The ids, groups and effective capabilities the kernel checks a file
// access against.
struct Credentials {
    uid_t fsuid;
    gid_t fsgid;
    uint64_t effective_caps;
    int group_count;  // -1: more than fit
    gid_t groups[64];
};

// From the text of /proc/<pid>/status.
[[nodiscard]] bool parse_umask(const char* status, mode_t* umask_out);
[[nodiscard]] bool parse_credentials(const char* status, Credentials* out);

// The tty_nr field of the text of /proc/<pid>/stat: the device number of
// the controlling terminal, 0 for none.
[[nodiscard]] bool parse_terminal(const char* stat, dev_t* terminal);

// The same, read from /proc for process or thread pid.
[[nodiscard]] bool read_umask(pid_t pid, mode_t* umask_out);
[[nodiscard]] bool read_credentials(pid_t pid, Credentials* out);
[[nodiscard]] bool read_terminal(pid_t pid, dev_t* terminal);

// Whether two sets of credentials grant the same file access.
[[nodiscard]] bool is_same_access(const Credentials& a, const Credentials& b);
