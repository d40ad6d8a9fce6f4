// The program the kernel opens to run another: the interpreter a script's
// "#!" line names, or an ELF program's own (PT_INTERP, the dynamic loader).
// The kernel opens it with the rights of an execution, so it is judged as
// one.
#pragma once

#include <stddef.h>

enum class Interpreter : unsigned char {
    none,        // no interpreter: the file runs as it is, or not at all
    script,      // out holds the path a "#!" line names, as it names it
    loader,      // out holds an ELF program's PT_INTERP: the kernel loads
                 // it as it is, without looking for an interpreter of its own
    unreadable,  // the file could not be read to tell
};

// The interpreter of the regular file at path, into out (size bytes).
// Only a regular file is opened, never blocking; a path that names nothing
// has none (the kernel will not run it either).
[[nodiscard]] Interpreter read_interpreter(const char* path, char* out, size_t size);

// The interpreter a script's first bytes name, as the kernel reads them:
// "#!", blanks, then the name up to a blank or the end of the line. False
// when head is no script or its line names nothing.
[[nodiscard]] bool parse_script_interpreter(const char* head, size_t n, char* out, size_t size);

// The most interpreters the kernel follows for one execution.
inline constexpr int k_max_interpreters = 4;
