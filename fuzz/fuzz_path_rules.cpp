// The path rules on arbitrary policies and paths.
//
// Input: one byte giving the length of the policy part, the policy part, then
// the paths. The policy part is records separated by '\n', each a key byte
// and its value; a "P" record picks one of a few fixed write patterns by its
// first byte, since a pattern that does not compile would end the process
// and the regular expression engine is not what is under test here. The
// paths are separated by NUL bytes; one that begins with "/proc/$" names
// the fuzzer's own process, which stands for the sandboxed command, so that
// the rules for the tree's own entries are reached. Every path, its lexical
// normalization,
// every policy entry and every entry with the first path appended are judged
// in every access class and both stages.
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "path/normalize.h"
#include "rule_checks.h"

namespace {

const char* const k_patterns[] = {
    "\\.o$", "^/tmp/", "/build(/|$)", "[0-9]+$", ".*", "^/home/[^/]+/\\.cache/", "x", "^$", "\\.git", "(a|b)+c$",
};
constexpr size_t k_pattern_count = sizeof(k_patterns) / sizeof(k_patterns[0]);

// Most paths judged per input: each costs ten judgements, and a process
// path reads /proc.
constexpr size_t k_max_paths = 64;

void push_port(PortList* list, const char* value) {
    long parsed = strtol(value, nullptr, 10);
    if (parsed < 1 || parsed > 65535) return;
    void* grown = realloc(list->ports, (list->count + 1) * sizeof(int32_t));
    if (grown == nullptr) abort();
    list->ports = static_cast<int32_t*>(grown);
    list->ports[list->count++] = static_cast<int32_t>(parsed);
}

void push(StringList* list, const char* value) {
    if (!str_list_push(list, value)) abort();
}

void replace(char** field, const char* value) {
    free(*field);
    *field = strdup(value);
    if (*field == nullptr) abort();
}

void apply(Policy* policy, char key, const char* value) {
    switch (key) {
    case 'R': replace(&policy->hidden_root, value); break;
    case 'S': replace(&policy->deny_single, value); break;
    case 'E': push(&policy->visible_tree, value); break;
    case 'M': push(&policy->stat_allow, value); break;
    case 'D': push(&policy->deny_tree, value); break;
    case 'F': push(&policy->deny_exact, value); break;
    case 'W': push(&policy->write_allow, value); break;
    case 'X': push(&policy->write_deny, value); break;
    case 'A': push(&policy->delete_deny_exact, value); break;
    case 'G': push(&policy->git_write_allow, value); break;
    case 'P': push(&policy->write_patterns, k_patterns[static_cast<unsigned char>(value[0]) % k_pattern_count]); break;
    case 'L': push_port(&policy->loopback_allow_ports, value); break;
    case 'N': push_port(&policy->loopback_deny_ports, value); break;
    case 'H': policy->loopback_default_allow = strcmp(value, "1") == 0; break;
    default: break;
    }
}

void build_policy(const char* part, size_t n, Policy* policy) {
    memset(policy, 0, sizeof(*policy));
    policy->hidden_root = strdup("/");
    policy->deny_single = strdup("");
    if (policy->hidden_root == nullptr || policy->deny_single == nullptr) abort();
    size_t at = 0;
    while (at < n) {
        size_t end = at;
        while (end < n && part[end] != '\n') ++end;
        if (end > at) {
            // The value is a C string: it stops at a NUL of its own.
            std::string value(part + at + 1, end - at - 1);
            apply(policy, part[at], value.c_str());
        }
        at = end + 1;
    }
    uint64_t count = policy->write_patterns.count;
    if (count == 0) return;
    policy->write_regexes = static_cast<regex_t*>(calloc(count, sizeof(regex_t)));
    if (policy->write_regexes == nullptr) abort();
    for (uint64_t i = 0; i < count; ++i) {
        if (regcomp(&policy->write_regexes[i], policy->write_patterns.items[i], REG_EXTENDED | REG_NOSUB) != 0) {
            fuzz_fail("fixed pattern %s does not compile", policy->write_patterns.items[i]);
        }
    }
}

void add_entries(const StringList* list, std::vector<std::string>* entries) {
    for (uint64_t i = 0; i < list->count; ++i) entries->push_back(list->items[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t policy_length = data[0] < size - 1 ? data[0] : size - 1;
    const char* part = reinterpret_cast<const char*>(data + 1);
    Policy policy;
    build_policy(part, policy_length, &policy);

    std::vector<std::string> paths;
    const char* rest = part + policy_length;
    size_t rest_length = size - 1 - policy_length;
    for (size_t at = 0; at < rest_length && paths.size() < 8;) {
        size_t n = strnlen(rest + at, rest_length - at);
        if (n > 0) {
            std::string path(rest + at, n);
            if (path.compare(0, 7, "/proc/$") == 0) path = "/proc/" + std::to_string(getpid()) + path.substr(7);
            if (path.size() > k_path_max) path.resize(k_path_max);
            paths.push_back(path);
        }
        at += n + 1;
    }
    size_t written = paths.size();
    char* normalized = fuzz_path_buffer();
    for (size_t i = 0; i < written; ++i) {
        if (normalize_lexical(paths[i].c_str(), normalized)) paths.emplace_back(normalized);
    }
    free(normalized);

    std::vector<std::string> entries = {policy.hidden_root, policy.deny_single};
    const StringList* lists[] = {&policy.visible_tree,      &policy.stat_allow,     &policy.deny_tree,
                                 &policy.deny_exact,        &policy.write_allow,    &policy.write_deny,
                                 &policy.delete_deny_exact, &policy.git_write_allow};
    for (const StringList* list : lists) add_entries(list, &entries);
    const std::string suffix = written > 0 ? paths[0] : std::string("x");
    for (const std::string& entry : entries) {
        paths.push_back(entry);
        std::string below = entry + "/" + suffix;
        if (below.size() <= k_path_max) paths.push_back(below);
    }
    if (paths.size() > k_max_paths) paths.resize(k_max_paths);

    int self = static_cast<int>(getpid());
    int parent = static_cast<int>(getppid());
    for (const std::string& path : paths) {
        char* copy = fuzz_string(reinterpret_cast<const uint8_t*>(path.c_str()), path.size());
        fuzz::check_rules(&policy, copy, self, parent);
        free(copy);
    }
    fuzz_free_policy(&policy);
    return 0;
}
