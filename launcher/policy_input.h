// The policy as the command line gives it: a blob, or a file or descriptor
// that holds a blob or policy source, read and checked before anything
// starts.
#pragma once

#include <string>

#include "launcher/command_line.h"

// The blob of the policy line names, into *blob. False with *problem set
// (one line, without the "sandbox: " of a message) when it cannot be read,
// is no blob an encoder writes, or is source with a mistake.
[[nodiscard]] bool read_policy_blob(const CommandLine& line, std::string* blob, std::string* problem);

// Whether text is a blob as an encoder writes it; else *problem says why.
[[nodiscard]] bool check_blob(const char* text, std::string* problem);

// Whether text, read from origin, is a blob (one word, lines broken or
// not) rather than policy source.
[[nodiscard]] bool looks_like_blob(const std::string& text);
