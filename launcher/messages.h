// The launcher's own words: one line on standard error for every failure of
// the sandbox itself, "sandbox: " first, unless the command line says
// --quiet. The command's own output is never touched.
#pragma once

// Whether lines are said; set once the command line is read.
void set_quiet(bool quiet);

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The words for a status the sandbox ended with because it could not start
// the command (113 to 125), or null for any other status.
[[nodiscard]] const char* describe_start_failure(int status);
