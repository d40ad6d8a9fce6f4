// Policy decoding and every rule on what it decodes.
//
// Input: the policy argument as the command line gives it (text up to the
// first NUL). The records are walked here first: an input with a write
// pattern that could take long to compile or match is skipped, and one with
// a pattern that does not compile must be reported as such. The decoded
// policy is compared with what this walk expects, then every path rule is run over fixed paths and paths taken from
// the records, and the port rule over ports taken from them.
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rule_checks.h"
#include "rules/socket_rules.h"

namespace {

// A second Base64 decoder, written from the README's description (the
// standard alphabet; every other byte skipped; leftover bits dropped).
std::string decode_independently(const char* text) {
    static const char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int pending = 0;
    for (const char* c = text; *c != 0; ++c) {
        const char* found = strchr(k_alphabet, *c);
        if (found == nullptr) continue;
        bits = (bits << 6) | static_cast<uint32_t>(found - k_alphabet);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out += static_cast<char>((bits >> pending) & 0xff);
        }
    }
    return out;
}

struct Record {
    std::string key;
    std::string value;
};

// Key NUL value NUL, over and over; a last key with no NUL has no value, and
// a last value with no NUL runs to the end.
std::vector<Record> walk(const std::string& bytes) {
    std::vector<Record> records;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t key_end = bytes.find('\0', at);
        if (key_end == std::string::npos) break;
        size_t value_end = bytes.find('\0', key_end + 1);
        if (value_end == std::string::npos) value_end = bytes.size();
        records.push_back({bytes.substr(at, key_end - at), bytes.substr(key_end + 1, value_end - key_end - 1)});
        at = value_end + 1;
    }
    return records;
}

// Patterns with bounded repeats or back-references can make glibc's regcomp
// or regexec take seconds and gigabytes; that is the library's cost, paid by
// whoever writes such a policy, and not what this target looks for.
int is_cheap_pattern(const std::string& pattern) {
    if (pattern.size() > 64 || pattern.find('{') != std::string::npos) return 0;
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '\\' && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return 0;
    }
    return 1;
}

int compiles(const std::string& pattern) {
    regex_t regex;
    if (regcomp(&regex, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return 0;
    regfree(&regex);
    return 1;
}

struct Expected {
    std::string hidden_root = "/";
    std::string deny_single;
    int default_allow = 0;
    int hidden_missing = 0;
    std::vector<std::string> lists[26];
    std::vector<int> allow_ports;
    std::vector<int> deny_ports;
};

void expect_port(std::vector<int>* ports, const std::string& value) {
    long parsed = strtol(value.c_str(), nullptr, 10);
    if (parsed >= 1 && parsed <= 65535) ports->push_back(static_cast<int>(parsed));
}

Expected expect(const std::vector<Record>& records) {
    Expected expected;
    for (const Record& record : records) {
        if (record.key.size() != 1) continue;
        // A value is a C string once decoded: it ends at its first NUL, and
        // the walk never leaves one inside it.
        const std::string& value = record.value;
        char key = record.key[0];
        switch (key) {
        case 'R': expected.hidden_root = value; break;
        case 'S': expected.deny_single = value; break;
        case 'H': expected.default_allow = value == "1"; break;
        case 'Y': expected.hidden_missing = value == "1"; break;
        case 'L': expect_port(&expected.allow_ports, value); break;
        case 'N': expect_port(&expected.deny_ports, value); break;
        case 'A':
        case 'D':
        case 'E':
        case 'F':
        case 'G':
        case 'M':
        case 'P':
        case 'U':
        case 'W':
        case 'X': expected.lists[key - 'A'].push_back(value); break;
        default: break;
        }
    }
    return expected;
}

void compare_list(const StringList& list, const std::vector<std::string>& expected, char key) {
    if (list.count != expected.size()) {
        fuzz_fail("list %c holds %llu entries, the records %zu", key, static_cast<unsigned long long>(list.count),
                  expected.size());
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != list.items[i]) fuzz_fail("list %c entry %zu differs", key, i);
    }
}

void compare_ports(const PortList& list, const std::vector<int>& expected, char key) {
    if (list.count != expected.size()) {
        fuzz_fail("port list %c holds %llu ports, the records %zu", key, static_cast<unsigned long long>(list.count),
                  expected.size());
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (list.ports[i] != expected[i]) fuzz_fail("port list %c entry %zu differs", key, i);
    }
}

void compare(const Policy& policy, const Expected& expected) {
    if (expected.hidden_root != policy.hidden_root) fuzz_fail("hidden_root differs");
    if (expected.deny_single != policy.deny_single) fuzz_fail("deny_single differs");
    if (expected.default_allow != policy.loopback_default_allow) fuzz_fail("loopback_default_allow differs");
    if (expected.hidden_missing != policy.hidden_missing) fuzz_fail("hidden_missing differs");
    const struct {
        const StringList* list;
        char key;
    } lists[] = {{&policy.delete_deny_exact, 'A'}, {&policy.deny_tree, 'D'},       {&policy.visible_tree, 'E'},
                 {&policy.deny_exact, 'F'},        {&policy.git_write_allow, 'G'}, {&policy.stat_allow, 'M'},
                 {&policy.write_patterns, 'P'},    {&policy.write_allow, 'W'},     {&policy.write_deny, 'X'},
                 {&policy.local_socket_allow, 'U'}};
    for (const auto& item : lists) compare_list(*item.list, expected.lists[item.key - 'A'], item.key);
    compare_ports(policy.loopback_allow_ports, expected.allow_ports, 'L');
    compare_ports(policy.loopback_deny_ports, expected.deny_ports, 'N');
    if ((policy.write_regexes != nullptr) != (policy.write_patterns.count > 0)) {
        fuzz_fail("write_regexes present: %d, patterns: %llu", policy.write_regexes != nullptr,
                  static_cast<unsigned long long>(policy.write_patterns.count));
    }
}

int contains(const PortList& list, int port) {
    for (uint64_t i = 0; i < list.count; ++i) {
        if (list.ports[i] == port) return 1;
    }
    return 0;
}

void check_port(const Policy& policy, int port) {
    int allowed = is_port_allowed(&policy, port);
    if (allowed != 0 && allowed != 1) fuzz_fail("port %d: decision %d", port, allowed);
    int expected = contains(policy.loopback_allow_ports, port)  ? 1
                   : contains(policy.loopback_deny_ports, port) ? 0
                                                                : policy.loopback_default_allow;
    if (allowed != expected) fuzz_fail("port %d: decision %d, the lists say %d", port, allowed, expected);
}

const char* const k_fixed_paths[] = {
    "/",          "/etc/passwd",    "/etc/shadow",    "/home/u/.ssh/id_rsa", "/home/u/project/.git/config",
    "/tmp/x",     "/tmp/build/a.o", "/dev/null",      "/dev/fd/1",           "/mnt/c/x.exe",
    "/run/WSL/x", "/init",          "/proc/1/status", "/usr/bin/sh",         "/home/u/project/.GIT",
};

constexpr size_t k_max_derived_paths = 48;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = fuzz_string(data, size);
    size_t length = strlen(text);
    unsigned char* decoded = static_cast<unsigned char*>(malloc(length + 1));
    if (decoded == nullptr) abort();
    size_t n = decode_base64(text, decoded);
    std::string bytes(reinterpret_cast<char*>(decoded), n);
    free(decoded);
    if (bytes != decode_independently(text)) fuzz_fail("decode_base64 differs from a second decoder");

    std::vector<Record> records = walk(bytes);
    PolicyError expected_error = PolicyError::none;
    for (const Record& record : records) {
        if (record.key != "P") continue;
        if (!is_cheap_pattern(record.value)) {
            free(text);
            return 0;
        }
        if (expected_error == PolicyError::none && !compiles(record.value)) expected_error = PolicyError::bad_pattern;
    }

    Policy policy;
    PolicyError error = decode_policy(text, &policy);
    free(text);
    if (error != expected_error)
        fuzz_fail("decode_policy reports %d, expected %d", static_cast<int>(error), static_cast<int>(expected_error));
    if (error != PolicyError::none) {
        fuzz_free_policy(&policy);
        return 0;
    }
    compare(policy, expect(records));

    std::vector<std::string> paths(std::begin(k_fixed_paths), std::end(k_fixed_paths));
    for (const Record& record : records) {
        if (paths.size() >= k_max_derived_paths) break;
        if (record.value.empty()) continue;
        paths.push_back(record.value);
        paths.push_back(record.value + "/x");
    }
    int self = static_cast<int>(getpid());
    int parent = static_cast<int>(getppid());
    for (const std::string& path : paths) {
        if (path.size() > k_path_max) continue;
        char* copy = fuzz_string(reinterpret_cast<const uint8_t*>(path.c_str()), path.size());
        fuzz::check_rules(&policy, copy, self, parent);
        free(copy);
    }

    const int fixed_ports[] = {-1, 0, 1, 22, 53, 80, 443, 8080, 65535, 65536};
    for (int port : fixed_ports) check_port(policy, port);
    for (uint64_t i = 0; i < policy.loopback_allow_ports.count; ++i)
        check_port(policy, policy.loopback_allow_ports.ports[i]);
    for (uint64_t i = 0; i < policy.loopback_deny_ports.count; ++i)
        check_port(policy, policy.loopback_deny_ports.ports[i]);
    for (size_t i = 0; i + 1 < bytes.size() && i < 32; i += 2) {
        check_port(policy, (static_cast<unsigned char>(bytes[i]) << 8) | static_cast<unsigned char>(bytes[i + 1]));
    }

    fuzz_free_policy(&policy);
    return 0;
}
