#include "launcher/command_line.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// what says the problem, with %s for the word of the line it is about.
bool fail(LineProblem* problem, const char* what, ...) __attribute__((format(printf, 2, 3)));

bool fail(LineProblem* problem, const char* what, ...) {
    va_list args;
    va_start(args, what);
    vsnprintf(problem->text, sizeof(problem->text), what, args);
    va_end(args);
    return false;
}

// A descriptor named on the command line: 3 or above, decimal.
bool read_descriptor(const char* text, int* fd) {
    return parse_descriptor(text, strlen(text), fd) && *fd >= 3;
}

// A count of judging threads: 1 to k_judging_threads_max, decimal.
bool read_thread_count(const char* text, int* count) {
    int value = 0;
    for (const char* at = text; *at != 0; ++at) {
        if (*at < '0' || *at > '9' || at - text >= 3) return false;
        value = value * 10 + (*at - '0');
    }
    if (text[0] == 0 || value < 1 || value > k_judging_threads_max) return false;
    *count = value;
    return true;
}

}  // namespace

bool parse_command_line(int argc, char** argv, CommandLine* line, LineProblem* problem) {
    *line = CommandLine{
        Action::run, PolicyFrom::none, nullptr, -1, {}, LogTo::none, nullptr, -1, LogFormat::text, false, false, 0, 0};
    problem->text[0] = 0;
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        line->action = Action::help;
        return true;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        line->action = Action::version;
        return true;
    }
    int at = 1;
    while (at < argc && strcmp(argv[at], "--") != 0) {
        const char* option = argv[at];
        const bool takes_value = strcmp(option, "--policy") == 0 || strcmp(option, "--policy-file") == 0 ||
                                 strcmp(option, "--policy-fd") == 0 || strcmp(option, "--keep-fd") == 0 ||
                                 strcmp(option, "--log") == 0 || strcmp(option, "--log-fd") == 0 ||
                                 strcmp(option, "--log-format") == 0 || strcmp(option, "--judging-threads") == 0;
        if (takes_value && at + 1 >= argc) return fail(problem, "%s needs a value", option);
        const char* value = takes_value ? argv[at + 1] : nullptr;
        if (strcmp(option, "--policy") == 0 || strcmp(option, "--policy-file") == 0 ||
            strcmp(option, "--policy-fd") == 0) {
            if (line->policy_from != PolicyFrom::none) return fail(problem, "%s: a second policy; give one", option);
            if (strcmp(option, "--policy") == 0) {
                line->policy_from = PolicyFrom::blob;
                line->policy = value;
            } else if (strcmp(option, "--policy-file") == 0) {
                line->policy_from = PolicyFrom::file;
                line->policy = value;
            } else {
                line->policy_from = PolicyFrom::descriptor;
                if (!read_descriptor(value, &line->policy_fd))
                    return fail(problem, "'%s' is not a descriptor number from 3", value);
            }
        } else if (strcmp(option, "--keep-fd") == 0) {
            int fd = -1;
            if (!read_descriptor(value, &fd)) return fail(problem, "'%s' is not a descriptor number from 3", value);
            if (line->kept.count == k_max_keep_options && !is_descriptor_kept(&line->kept, fd)) {
                return fail(problem, "too many kept descriptors (at %s)", value);
            }
            if (!keep_descriptor(&line->kept, fd)) return fail(problem, "too many kept descriptors (at %s)", value);
        } else if (strcmp(option, "--log") == 0 || strcmp(option, "--log-fd") == 0) {
            if (line->log_to != LogTo::none) return fail(problem, "%s: a second log; give one", option);
            if (strcmp(option, "--log") == 0) {
                if (value[0] == 0) return fail(problem, "%s needs a file name", option);
                line->log_to = LogTo::file;
                line->log_file = value;
            } else {
                line->log_to = LogTo::descriptor;
                if (!read_descriptor(value, &line->log_fd))
                    return fail(problem, "'%s' is not a descriptor number from 3", value);
            }
        } else if (strcmp(option, "--log-format") == 0) {
            if (strcmp(value, "text") == 0) {
                line->log_format = LogFormat::text;
            } else if (strcmp(value, "json") == 0) {
                line->log_format = LogFormat::json;
            } else {
                return fail(problem, "--log-format takes text or json, not '%s'", value);
            }
        } else if (strcmp(option, "--judging-threads") == 0) {
            if (!read_thread_count(value, &line->judging_threads)) {
                return fail(problem, "--judging-threads takes a number from 1 to %d, not '%s'", k_judging_threads_max,
                            value);
            }
        } else if (strcmp(option, "--audit") == 0) {
            line->audit = true;
        } else if (strcmp(option, "--quiet") == 0) {
            line->quiet = true;
        } else {
            return fail(problem, "unknown option '%s'", option);
        }
        at += takes_value ? 2 : 1;
    }
    if (at + 1 >= argc) return fail(problem, "no command: give -- and the command to run");
    if (line->policy_from == PolicyFrom::none) {
        return fail(problem, "no policy: give --policy, --policy-file or --policy-fd");
    }
    if (line->audit && line->log_to == LogTo::none) return fail(problem, "--audit needs --log or --log-fd");
    const int descriptors[] = {line->policy_fd, line->log_fd};
    for (int fd : descriptors) {
        if (fd >= 0 && is_descriptor_kept(&line->kept, fd))
            return fail(problem, "a descriptor of the policy or the log cannot be kept for the command");
    }
    if (line->policy_fd >= 0 && line->policy_fd == line->log_fd) {
        return fail(problem, "the policy and the log cannot share a descriptor");
    }
    line->command = at + 1;
    return true;
}

void print_usage(const char* argv0) {
    fprintf(stderr, "usage: %s --policy <base64> [--keep-fd N]... -- <binary> [args...]\n", argv0);
    fprintf(stderr, "       %s [--policy-file FILE | --policy-fd N] [OPTION]... -- <binary> [args...]\n", argv0);
    fprintf(stderr, "See %s --help.\n", argv0);
}

void print_help(const char* argv0) {
    printf(
        "usage: %s [OPTION]... -- COMMAND [ARG]...\n"
        "Runs COMMAND under a file-system, process and network policy: the calls\n"
        "that reach files, other processes and the network are suspended and judged\n"
        "by a supervisor; a refused call fails as the kernel's own refusals do.\n"
        "\n"
        "The policy, exactly one of:\n"
        "  --policy BLOB        the Base64 blob that sandbox-policy encode writes\n"
        "  --policy-file FILE   a file holding a blob, or policy source (rules, one a\n"
        "                       line, as sandbox-policy encode reads them)\n"
        "  --policy-fd N        the same, read from descriptor N; keeps the policy\n"
        "                       out of the process list\n"
        "Options:\n"
        "  --keep-fd N          keep descriptor N open for COMMAND (repeatable); the\n"
        "                       others above 2 are closed, but make's and cargo's\n"
        "                       job-server pipes\n"
        "  --log FILE           append a line for every refused call to FILE\n"
        "  --log-fd N           the same, to descriptor N\n"
        "  --log-format FORMAT  text (key=value, the default) or json\n"
        "  --audit              let through what the policy would refuse (not the\n"
        "                       refusals that protect the machine) and log each as\n"
        "                       would-refuse; needs --log or --log-fd; then\n"
        "                       sandbox-policy learn proposes the rules\n"
        "  --quiet              say nothing on standard error\n"
        "  --judging-threads N  judge the command's calls on N threads (1 to 64;\n"
        "                       the default: four for each processor)\n"
        "  --help, --version\n"
        "\n"
        "Exit status: COMMAND's own, or 128 + the signal that ended it; 110 a\n"
        "malformed command line, policy or log; 111 out of memory; 112 a write\n"
        "pattern that does not compile; 113-125 the sandbox could not start (each\n"
        "said on standard error); 126 COMMAND could not be run (refused by the\n"
        "policy, or not executable); 127 COMMAND was not found.\n"
        "\n"
        "sandbox-policy explain says why a path or port is refused; see sandbox(1).\n",
        argv0);
}
