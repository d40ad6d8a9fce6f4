// Access classes: what a call does to the file a path names. The file
// calls' rows derive a class from the call and its flags
// (base/call_table.h); the path rules judge it (rules/path_rules.h).
#pragma once

enum Access : int {
    ACCESS_STAT = 1,  // metadata, links read, access probes without R_OK or W_OK, O_PATH opens
    ACCESS_READ,      // opens for reading, access probes with R_OK
    ACCESS_WRITE,     // opens for writing or creating, creation, attribute changes
    ACCESS_DELETE,    // unlink, rmdir, both names of a rename
    ACCESS_EXEC,      // execve, execveat
};
