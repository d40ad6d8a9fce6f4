// sandbox-policy: writes, reads, checks and explains the policies of
// `sandbox`, with the same decoding and rule functions it runs.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "tools/sandbox_policy/learn.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

const char k_usage[] =
    "usage: sandbox-policy encode [FILE|-]... [--RULE VALUE]...\n"
    "       sandbox-policy decode BLOB|-\n"
    "       sandbox-policy lint FILE|BLOB|-\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) CLASS PATH [--follow] [--pid N]\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) connect ADDRESS PORT\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) unix PATH\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) --log-line LINE\n"
    "       sandbox-policy explain [--json] [--policy BLOB | --file FILE] --log FILE [--last N]\n"
    "       sandbox-policy learn LOG|- [--base FILE]\n"
    "       sandbox-policy preset readonly|build|workspace [DIR] [--git] [--port N]... [--with TOOLS]\n"
    "Each command takes --help. See sandbox-policy(1).\n";

const char k_encode_help[] =
    "usage: sandbox-policy encode [FILE|-]... [--RULE VALUE]...\n"
    "Prints the blob of the rules of the files ('-' or none: standard input) and\n"
    "of the options (--visible /usr, --write-pattern '\\.log$'), in their order.\n";

const char k_decode_help[] =
    "usage: sandbox-policy decode BLOB|-\n"
    "Prints the blob as source, as sandbox reads it; '#' lines say what it\n"
    "ignores or reads otherwise. Exits 112 on a write pattern that does not compile.\n";

const char k_lint_help[] =
    "usage: sandbox-policy lint FILE|BLOB|-\n"
    "Warns of likely mistakes in a policy; exits 1 when it warned, 0 when clean.\n";

const char k_explain_help[] =
    "usage: sandbox-policy explain [--json] (--policy BLOB | --file FILE) CLASS PATH [--follow] [--pid N]\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) connect ADDRESS PORT\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) unix PATH|@NAME\n"
    "       sandbox-policy explain [--json] (--policy BLOB | --file FILE) --log-line LINE\n"
    "       sandbox-policy explain [--json] [--policy BLOB | --file FILE] --log FILE [--last N]\n"
    "CLASS: stat, read, write, delete, exec. Shows each stage of the check, the\n"
    "rule and entry that decided, and the result; exits 0 when allowed, 1 when not.\n"
    "--pid N: the path as process N, the root of the sandbox tree, means it.\n"
    "--log-line LINE: the refusal one line of a sandbox log records; --log FILE:\n"
    "the last N refusals of the log (default 1), under the policy of their run\n"
    "unless one is given. Each ends with the change that would allow it.\n";

const char k_learn_help[] =
    "usage: sandbox-policy learn LOG|- [--base FILE]\n"
    "Prints policy source that would have let the refusals of a sandbox log\n"
    "through (sandbox --audit --log FILE logs what it would refuse): visible,\n"
    "stat_allow, write and loopback_allow rules, one directory for several\n"
    "paths in it. What a denial forbids and what no rule can allow are listed\n"
    "as comments. --base FILE: begin with 'include FILE' and leave out what\n"
    "FILE allows already.\n";

const char k_preset_help[] =
    "usage: sandbox-policy preset readonly|build|workspace [DIR] [--git] [--port N]... [--with TOOLS]\n"
    "Prints a policy to edit and encode: readonly (the system and DIR visible),\n"
    "build (DIR and /tmp writable too), workspace (build, secrets denied, name\n"
    "service; DIR/.git writable with --git). --port N allows loopback port N.\n"
    "--with TOOLS (comma-separated: git, npm, pip, cargo, local-bin) shows each\n"
    "tool's settings in the home directory and lets it write its caches.\n";

int fail(int status, const std::string& message) {
    fprintf(stderr, "sandbox-policy: %s\n", message.c_str());
    return status;
}

int usage_error(const std::string& message, const char* help) {
    fprintf(stderr, "sandbox-policy: %s\n%s", message.c_str(), help);
    return EXIT_TOOL_USAGE;
}

bool wants_help(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

int report_problems(const std::vector<Diagnostic>& problems) {
    for (const Diagnostic& problem : problems) {
        fprintf(stderr, "sandbox-policy: %s: %s\n", problem.origin.c_str(), problem.message.c_str());
    }
    return EXIT_TOOL_USAGE;
}

// "--write-pattern" and "--write_pattern" both name write_pattern.
std::string option_rule(const char* option) {
    std::string name = option + 2;
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return name;
}

int encode_command(int argc, char** argv) {
    SourceReader reader;
    bool any = false;
    for (int i = 0; i < argc; ++i, any = true) {
        std::string arg = argv[i];
        if (arg.compare(0, 2, "--") != 0) {
            read_source_file(&reader, arg, arg);
            continue;
        }
        size_t equals = arg.find('=');
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usage_error(arg + " needs a value", k_encode_help);
        }
        add_rule(&reader, option_rule(arg.c_str()), value, arg, current_directory());
    }
    if (!any) read_source_file(&reader, "-", "-");
    if (!reader.problems.empty()) return report_problems(reader.problems);
    printf("%s\n", encode_rules(reader.rules).c_str());
    return 0;
}

std::string read_blob_argument(const char* arg) {
    if (strcmp(arg, "-") != 0) return arg;
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), stdin)) > 0) text.append(buffer, n);
    return text;
}

int bad_pattern(const DecodedBlob& decoded) {
    return fail(EXIT_BAD_PATTERN,
                "write pattern " + quoted(decoded.bad_pattern) + " does not compile: " + decoded.pattern_message);
}

int decode_command(int argc, char** argv) {
    if (argc != 1) return usage_error("decode takes one blob", k_decode_help);
    DecodedBlob decoded;
    decode_blob(read_blob_argument(argv[0]).c_str(), &decoded);
    fputs(decoded.text.c_str(), stdout);
    return decoded.bad_pattern.empty() ? 0 : bad_pattern(decoded);
}

bool is_regular_file(const char* name) {
    struct stat st;
    return stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

int lint_command(int argc, char** argv) {
    if (argc != 1) return usage_error("lint takes one file or blob", k_lint_help);
    std::vector<Diagnostic> warnings;
    std::vector<Rule> rules;
    if (strcmp(argv[0], "-") == 0 || is_regular_file(argv[0])) {
        SourceReader reader;
        reader.lenient = true;
        read_source_file(&reader, argv[0], argv[0]);
        warnings = reader.problems;
        rules = reader.rules;
    } else {
        DecodedBlob decoded;
        decode_blob(argv[0], &decoded);
        warnings = decoded.misread;
        rules = decoded.rules;
    }
    const char* path = getenv("PATH");
    std::vector<Diagnostic> more = lint_rules(rules, path != nullptr ? path : "");
    warnings.insert(warnings.end(), more.begin(), more.end());
    for (const Diagnostic& warning : warnings) printf("%s: %s\n", warning.origin.c_str(), warning.message.c_str());
    return warnings.empty() ? 0 : EXIT_FINDINGS;
}

struct ExplainArgs {
    bool json = false;
    bool follow = false;
    int pid = 0;
    const char* blob = nullptr;
    const char* file = nullptr;
    const char* log_line = nullptr;
    const char* log = nullptr;
    size_t last = 1;
    bool has_last = false;
    std::vector<std::string> words;
};

bool parse_count(const char* text, size_t* count, std::string* error) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != 0 || end == text || value < 1) {
        *error = std::string("not a count of events: ") + text;
        return false;
    }
    *count = static_cast<size_t>(value);
    return true;
}

// Which policy explain takes: exactly one, but a log may give its own.
bool check_policy_choice(const ExplainArgs& args, std::string* error) {
    if (args.log_line != nullptr && args.log != nullptr) {
        *error = "give --log-line or --log, not both";
    } else if (args.has_last && args.log == nullptr) {
        *error = "--last is for --log";
    } else if (args.blob != nullptr && args.file != nullptr) {
        *error = "give the policy as --policy BLOB or --file FILE, not both";
    } else if (args.blob == nullptr && args.file == nullptr && args.log == nullptr) {
        *error = "give the policy as --policy BLOB or --file FILE";
    } else {
        return true;
    }
    return false;
}

bool parse_explain(int argc, char** argv, ExplainArgs* args, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--json") {
            args->json = true;
        } else if (arg == "--follow") {
            args->follow = true;
        } else if (arg == "--policy" && has_value) {
            args->blob = argv[++i];
        } else if (arg == "--file" && has_value) {
            args->file = argv[++i];
        } else if (arg == "--log-line" && has_value) {
            args->log_line = argv[++i];
        } else if (arg == "--log" && has_value) {
            args->log = argv[++i];
        } else if (arg == "--last" && has_value) {
            args->has_last = true;
            if (!parse_count(argv[++i], &args->last, error)) return false;
        } else if (arg == "--pid" && has_value) {
            char* end = nullptr;
            long pid = strtol(argv[++i], &end, 10);
            if (*end != 0 || pid < 1 || pid > 0x7fffffff) {
                *error = std::string("not a process id: ") + argv[i];
                return false;
            }
            args->pid = static_cast<int>(pid);
        } else if (arg == "--") {
            for (++i; i < argc; ++i) args->words.push_back(argv[i]);
        } else if (arg.compare(0, 2, "--") == 0) {
            *error = "unknown or incomplete option " + arg;
            return false;
        } else {
            args->words.push_back(arg);
        }
    }
    return check_policy_choice(*args, error);
}

int load_blob(const std::string& blob, Policy* policy, std::vector<Rule>* rules) {
    DecodedBlob decoded;
    decode_blob(blob.c_str(), &decoded);
    if (!decoded.bad_pattern.empty()) return bad_pattern(decoded);
    decode_policy_or_exit(blob.c_str(), policy);
    *rules = decoded.rules;
    return 0;
}

// The policy exactly as sandbox would hold it: source goes through the blob.
int load_policy(const ExplainArgs& args, Policy* policy, std::vector<Rule>* rules) {
    std::string blob;
    if (args.file != nullptr) {
        SourceReader reader;
        read_source_file(&reader, args.file, args.file);
        if (!reader.problems.empty()) return report_problems(reader.problems);
        blob = encode_rules(reader.rules);
    } else {
        blob = args.blob;
    }
    return load_blob(blob, policy, rules);
}

void report_log_problems(const std::string& name, const LogFile& log) {
    for (const LogProblem& problem : log.problems) {
        fprintf(stderr, "sandbox-policy: %s:%d: %s; line skipped\n", name.c_str(), problem.line,
                problem.message.c_str());
    }
}

// The refusals to explain: the one line given, or the last N of the log.
int pick_log_events(const ExplainArgs& args, LogFile* log, std::vector<size_t>* picked) {
    std::string error;
    if (args.log_line != nullptr) {
        // A line copied with its end, as a shell's read or a file gives it.
        std::string line = args.log_line;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        LogEvent event;
        if (!parse_log_line(line, &event, &error)) return fail(EXIT_TOOL_USAGE, "the log line: " + error);
        if (!is_refusal(event))
            return fail(EXIT_TOOL_USAGE, "the log line is a " + event.event + " event, not a refusal");
        log->events.push_back(event);
        picked->push_back(0);
        return 0;
    }
    if (!read_log_file(args.log, log, &error)) return fail(EXIT_TOOL_USAGE, error);
    report_log_problems(args.log, *log);
    for (size_t i = log->events.size(); i-- > 0 && picked->size() < args.last;) {
        if (is_refusal(log->events[i])) picked->insert(picked->begin(), i);
    }
    return 0;
}

int explain_log_command(const ExplainArgs& args) {
    LogFile log;
    std::vector<size_t> picked;
    int status = pick_log_events(args, &log, &picked);
    if (status != 0) return status;
    if (picked.empty()) {
        fprintf(stderr, "sandbox-policy: %s: no refused or would-refuse event\n", args.log);
        return 0;
    }
    Policy given;
    std::vector<Rule> given_rules;
    const bool has_policy = args.blob != nullptr || args.file != nullptr;
    if (has_policy && (status = load_policy(args, &given, &given_rules)) != 0) return status;
    for (size_t index : picked) {
        const LogEvent& event = log.events[index];
        Policy run_policy;
        std::vector<Rule> run_rules;
        if (!has_policy) {
            const LogEvent* start = find_run_start(log.events, index);
            if (start == nullptr) {
                return fail(EXIT_TOOL_USAGE, std::string(args.log) + ":" + std::to_string(event.line) +
                                                 ": no start event before it to take the policy from; give --policy "
                                                 "or --file");
            }
            if ((status = load_blob(start->policy, &run_policy, &run_rules)) != 0) return status;
        }
        Explanation explanation;
        explain_log_event(has_policy ? &given : &run_policy, has_policy ? given_rules : run_rules, event, &explanation);
        if (!args.json && index != picked.front()) fputs("\n", stdout);
        fputs((args.json ? format_explanation_json(explanation) : format_explanation(explanation)).c_str(), stdout);
        if (!explanation.allowed) status = EXIT_FINDINGS;
    }
    return status;
}

int explain_command(int argc, char** argv) {
    ExplainArgs args;
    std::string error;
    if (!parse_explain(argc, argv, &args, &error)) return usage_error(error, k_explain_help);
    const std::vector<std::string>& words = args.words;
    if (args.log_line != nullptr || args.log != nullptr) {
        if (!words.empty() || args.follow || args.pid != 0) {
            return usage_error("--log-line and --log take no CLASS PATH, --follow or --pid", k_explain_help);
        }
        return explain_log_command(args);
    }
    std::string what = words.empty() ? "" : words[0];
    bool socket = what == "connect" || what == "unix";
    size_t needed = what == "connect" ? 3 : 2;
    Access access = ACCESS_STAT;
    if (words.size() != needed || (!socket && !access_by_name(what, &access))) {
        return usage_error("explain takes CLASS PATH, connect ADDRESS PORT or unix PATH", k_explain_help);
    }
    if (socket && (args.follow || args.pid != 0)) {
        return usage_error("--follow and --pid are for paths", k_explain_help);
    }
    Policy policy;
    std::vector<Rule> rules;
    int status = load_policy(args, &policy, &rules);
    if (status != 0) return status;
    Explanation explanation;
    bool asked = true;
    if (what == "connect") {
        asked = explain_connect(&policy, words[1], words[2], &explanation, &error);
    } else if (what == "unix") {
        explain_unix(&policy, words[1], &explanation);
    } else {
        asked = explain_path(&policy, access, words[1], args.follow, args.pid, &explanation, &error);
    }
    if (!asked) return fail(EXIT_TOOL_USAGE, error);
    fputs((args.json ? format_explanation_json(explanation) : format_explanation(explanation)).c_str(), stdout);
    return explanation.allowed ? 0 : EXIT_FINDINGS;
}

int learn_command(int argc, char** argv) {
    const char* log_name = nullptr;
    const char* base = nullptr;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--base" && i + 1 < argc) {
            base = argv[++i];
        } else if (arg.compare(0, 2, "--") == 0) {
            return usage_error("unknown or incomplete option " + arg, k_learn_help);
        } else if (log_name != nullptr) {
            return usage_error("learn takes one log", k_learn_help);
        } else {
            log_name = argv[i];
        }
    }
    if (log_name == nullptr) return usage_error("learn takes one log", k_learn_help);
    LearnRequest request;
    request.home = expand_home("~");
    std::string base_name;
    if (base != nullptr) {
        if (strcmp(base, "-") == 0) return usage_error("--base needs a file, which the output includes", k_learn_help);
        SourceReader reader;
        read_source_file(&reader, base, base);
        if (!reader.problems.empty()) return report_problems(reader.problems);
        char canonical[PATH_MAX];
        if (realpath(base, canonical) == nullptr) return fail(EXIT_TOOL_USAGE, std::string("cannot open ") + base);
        base_name = canonical;
        request.has_base = true;
        request.base = reader.rules;
    }
    LogFile log;
    std::string error;
    if (!read_log_file(log_name, &log, &error)) return fail(EXIT_TOOL_USAGE, error);
    report_log_problems(log_name, log);
    if (log.events.empty() && !log.problems.empty()) {
        return fail(EXIT_TOOL_USAGE, std::string(log_name) + ": no line reads as an event of a sandbox log");
    }
    request.events = log.events;
    const std::string shown_name = strcmp(log_name, "-") == 0 ? "standard input" : log_name;
    fputs(format_learned(learn_rules(request), shown_name, base_name).c_str(), stdout);
    return 0;
}

int preset_command(int argc, char** argv) {
    PresetRequest request;
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--git") {
            request.git = true;
        } else if (arg == "--port" && i + 1 < argc) {
            request.ports.push_back(argv[++i]);
        } else if (arg == "--with" && i + 1 < argc) {
            const std::string list = argv[++i];
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = list.find(',', start);
                const size_t end = comma == std::string::npos ? list.size() : comma;
                if (end > start) request.tools.push_back(list.substr(start, end - start));
                start = end + 1;
            }
        } else if (arg.compare(0, 2, "--") == 0) {
            return usage_error("unknown or incomplete option " + arg, k_preset_help);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty() || words.size() > 2) return usage_error("preset takes NAME [DIR]", k_preset_help);
    request.name = words[0];
    if (words.size() == 2) request.dir = words[1];
    std::string text;
    std::string error;
    if (!make_preset(request, &text, &error)) return fail(EXIT_TOOL_USAGE, error);
    fputs(text.c_str(), stdout);
    return 0;
}

// Running out of memory ends the program as it ends sandbox.
void out_of_memory() {
    static const char k_message[] = "sandbox-policy: out of memory\n";
    ssize_t ignored = write(2, k_message, sizeof(k_message) - 1);
    (void)ignored;
    _exit(EXIT_NO_MEMORY);
}

}  // namespace

int main(int argc, char** argv) {
    std::set_new_handler(out_of_memory);
    if (argc < 2) return usage_error("no command", k_usage);
    std::string command = argv[1];
    struct Command {
        const char* name;
        int (*run)(int, char**);
        const char* help;
    };
    const Command commands[] = {
        // clang-format off
        {"encode", encode_command, k_encode_help},    {"decode", decode_command, k_decode_help},
        {"lint", lint_command, k_lint_help},          {"explain", explain_command, k_explain_help},
        {"learn", learn_command, k_learn_help},       {"preset", preset_command, k_preset_help},
        // clang-format on
    };
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(k_usage, stdout);
        return 0;
    }
    for (const Command& entry : commands) {
        if (command != entry.name) continue;
        if (wants_help(argc - 2, argv + 2)) {
            fputs(entry.help, stdout);
            return 0;
        }
        int status = entry.run(argc - 2, argv + 2);
        if (fflush(stdout) != 0) return fail(EXIT_TOOL_USAGE, "cannot write the output");
        return status;
    }
    return usage_error("unknown command '" + command + "'", k_usage);
}
