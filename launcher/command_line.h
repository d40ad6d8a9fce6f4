// What the sandbox's command line says, read without touching anything:
//
//   sandbox [OPTION]... -- COMMAND [ARG]...
//   sandbox --help | --version
//
// The form "sandbox --policy BLOB -- COMMAND" is one of these.
#pragma once

#include <stddef.h>

#include "launcher/descriptors.h"
#include "supervisor/judged_open.h"
#include "supervisor/refusal_log.h"

enum class Action : unsigned char { run, help, version };

// Where the policy comes from: the blob itself, or a file or descriptor
// that holds a blob or policy source.
enum class PolicyFrom : unsigned char { none, blob, file, descriptor };

enum class LogTo : unsigned char { none, file, descriptor };

struct CommandLine {
    Action action;
    PolicyFrom policy_from;
    const char* policy;  // the blob, or the file's name
    int policy_fd;
    KeptDescriptors kept;  // named with --keep-fd
    LogTo log_to;
    const char* log_file;
    int log_fd;
    LogFormat log_format;
    bool audit;
    bool quiet;
    int command;          // the index of COMMAND in argv
    int judging_threads;  // 0: four for each processor
};

// What is wrong with a command line, in words for one line of message.
struct LineProblem {
    char text[192];
};

// Reads argv into *line. False, with *problem set, for anything but the
// forms above; for a descriptor that is not a decimal number from 3 below
// k_descriptor_limit; for more than k_max_keep_options kept descriptors;
// for no policy or two; for --audit without a log.
[[nodiscard]] bool parse_command_line(int argc, char** argv, CommandLine* line, LineProblem* problem);

// The one-line usage, for argv0.
void print_usage(const char* argv0);

// The page --help prints.
void print_help(const char* argv0);
