// sandbox-policy's functions: readable source and its blob both ways, the
// checks of lint, the stages of explain and the presets. Decoding and
// judging go through the library's own functions, as in sandbox.
#pragma once

#include <string>
#include <vector>

#include "base/access.h"
#include "policy/policy.h"
#include "policy/source.h"
#include "rules/path_rules.h"
#include "tools/sandbox_policy/log_reader.h"

// text in double quotes, bytes that cannot be shown escaped.
std::string quoted(const std::string& text);

struct DecodedBlob {
    std::vector<Rule> rules;          // what sandbox applies, in record order
    std::vector<Diagnostic> notes;    // every note of the text
    std::vector<Diagnostic> misread;  // those on records ignored or read otherwise
    std::string text;                 // the rules, one a line, notes as comments
    std::string bad_pattern;          // the first write pattern that does not compile
    std::string pattern_message;      // regcomp's message for it
};

// Reads blob with the same Base64 decoder and record walk as decode_policy.
void decode_blob(const char* blob, DecodedBlob* out);

// decode_policy, ending the program as sandbox ends when memory runs out
// (111) or a write pattern does not compile (112).
void decode_policy_or_exit(const char* blob, Policy* policy);

// The warnings about rules. Patterns that do not compile are reported and
// left out of the other checks.
// path_list: a PATH whose hidden directories are named too, and with it
// writable trees missing on this machine ("" for neither).
std::vector<Diagnostic> lint_rules(const std::vector<Rule>& rules, const std::string& path_list = "");
// The ELF interpreter named by program, or "".
std::string elf_interpreter(const char* program);
// This machine's dynamic loader: that of /bin/sh, else of this program.
std::string machine_loader();

struct StageLine {
    std::string stage;  // lexical, canonical, followed, descriptor, destination
    std::string path;   // what this stage judged
    bool allowed = false;
    std::string rule;    // a short name of the deciding rule
    std::string reason;  // the same in words
    std::string entry;   // the policy entry that decided, "deny /home/u/.ssh", or ""
};

struct Explanation {
    std::string operation;  // stat, read, write, delete, exec, connect, unix
    std::string subject;
    std::vector<StageLine> stages;
    bool allowed = false;
    std::string answer;          // the refusal's errno; "" for EACCES
    std::string logged;          // the log event explained, in short, or ""
    std::string suggestion;      // the change that would allow it, or ""
    bool bound_refuses = false;  // the kernel's bound, where the kernel has one, refuses it too
};

// The access class of a class name; false for no class.
bool access_by_name(const std::string& name, Access* access);
// Words for a path verdict on the path in the form judged.
void describe_verdict(const Policy* policy, const RuleVerdict& verdict, PathForm form, const char* path,
                      StageLine* line);
// pid is the process whose working directory, /proc/self and descriptors
// the path means, and the root of the sandbox tree; 0 is this process.
bool explain_path(const Policy* policy, Access access, const std::string& path, bool follow, int pid, Explanation* out,
                  std::string* error);
// The IPv4 or IPv6 socket address of a numeric address and port, as a
// caller would pass it, in copy (k_sockaddr_copy bytes).
bool make_inet_destination(const std::string& address, const std::string& port, unsigned char* copy, uint64_t* length,
                           std::string* error);
bool explain_connect(const Policy* policy, const std::string& address, const std::string& port, Explanation* out,
                     std::string* error);
// "@name" is an abstract name, "" an unnamed socket.
void explain_unix(const Policy* policy, const std::string& path, Explanation* out);
// An event of the refusal log explained under policy, whose rules these
// are: the path in its access class, the address and port, or the local
// name it gives, and the change that would allow it. An event that names
// nothing to judge gets its logged rule and reason as its one stage.
void explain_log_event(const Policy* policy, const std::vector<Rule>& rules, const LogEvent& event, Explanation* out);
std::string format_explanation(const Explanation& explanation);
std::string format_explanation_json(const Explanation& explanation);

struct PresetRequest {
    std::string name;  // readonly, build, workspace
    std::string dir;   // "" for the default (readonly: the current directory)
    bool git = false;  // let DIR/.git be written
    std::vector<std::string> ports;
    std::vector<std::string> tools;  // --with: git, npm, pip, cargo, local-bin
};

// The preset's source with comments, or false with *error set.
bool make_preset(const PresetRequest& request, std::string* text, std::string* error);
// Whether resolv_conf names a resolver on loopback, reached on port 53
// (systemd-resolved's stub, dnsmasq).
bool has_loopback_resolver(const char* resolv_conf);
