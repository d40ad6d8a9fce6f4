#include "policy/policy.h"

#include <stdlib.h>
#include <string.h>

#include "base/faults.h"

namespace {

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Every step that allocates can fail; the first failure is kept and every
// later record skipped.
struct Decoding {
    Policy* policy;
    PolicyError error;
};

[[nodiscard]] bool replace_string(char** field, const char* value) {
    char* copy = strdup(value);
    if (copy == nullptr) return false;
    free(*field);
    *field = copy;
    return true;
}

[[nodiscard]] bool port_list_push(PortList* list, const char* value) {
    // The range is checked on the full parsed value: narrowing first would
    // turn 4294967297 into port 1.
    long parsed = strtol(value, nullptr, 10);
    if (parsed < 1 || parsed > 65535) return true;
    void* grown = realloc(list->ports, (list->count + 1) * sizeof(int32_t));
    if (grown == nullptr) return false;
    list->ports = static_cast<int32_t*>(grown);
    list->ports[list->count++] = static_cast<int32_t>(parsed);
    return true;
}

StringList* list_for_key(Policy* policy, char key) {
    switch (key) {
    case 'A': return &policy->delete_deny_exact;
    case 'D': return &policy->deny_tree;
    case 'E': return &policy->visible_tree;
    case 'F': return &policy->deny_exact;
    case 'G': return &policy->git_write_allow;
    case 'U': return &policy->local_socket_allow;
    case 'M': return &policy->stat_allow;
    case 'P': return &policy->write_patterns;
    case 'W': return &policy->write_allow;
    case 'X': return &policy->write_deny;
    default: return nullptr;
    }
}

// False when memory ran out.
[[nodiscard]] bool apply_record(Policy* policy, char key, const char* value) {
    StringList* list = list_for_key(policy, key);
    if (list != nullptr) return str_list_push(list, value);
    switch (key) {
    case 'R': return replace_string(&policy->hidden_root, value);
    case 'S': return replace_string(&policy->deny_single, value);
    case 'H': policy->loopback_default_allow = strcmp(value, "1") == 0 ? 1 : 0; return true;
    case 'Y': policy->hidden_missing = strcmp(value, "1") == 0 ? 1 : 0; return true;
    case 'L': return port_list_push(&policy->loopback_allow_ports, value);
    case 'N': return port_list_push(&policy->loopback_deny_ports, value);
    default: return true;
    }
}

void apply_visited(void* context, const PolicyRecord* record) {
    Decoding* decoding = static_cast<Decoding*>(context);
    if (decoding->error != PolicyError::none || record->value == nullptr || record->key_length != 1) return;
    if (!apply_record(decoding->policy, record->key[0], record->value)) decoding->error = PolicyError::no_memory;
}

[[nodiscard]] PolicyError compile_patterns(Policy* policy) {
    const StringList& patterns = policy->write_patterns;
    if (patterns.count == 0) return PolicyError::none;
    policy->write_regexes = static_cast<regex_t*>(calloc(patterns.count, sizeof(regex_t)));
    if (policy->write_regexes == nullptr) return PolicyError::no_memory;
    for (uint64_t i = 0; i < patterns.count; ++i) {
        if (regcomp(&policy->write_regexes[i], patterns.items[i], REG_EXTENDED | REG_NOSUB) != 0) {
            return PolicyError::bad_pattern;
        }
    }
    return PolicyError::none;
}

}  // namespace

BlobCheck check_blob_text(const char* blob) {
    size_t digits = 0;
    size_t padding_at = 0;
    bool padded = false;
    for (size_t i = 0; blob[i] != 0; ++i) {
        const unsigned char c = static_cast<unsigned char>(blob[i]);
        if (c == '\n' || c == '\r') continue;
        if (c == '=') {
            if (!padded) padding_at = i;
            padded = true;
            continue;
        }
        if (base64_value(c) < 0) return {BlobFault::foreign_byte, i, c};
        if (padded) return {BlobFault::early_padding, padding_at, '='};
        ++digits;
    }
    if (digits % 4 == 1) return {BlobFault::lone_digit, 0, 0};
    return {BlobFault::none, 0, 0};
}

size_t decode_base64(const char* text, unsigned char* out) {
    uint32_t accumulator = 0;
    int pending = 0;
    size_t n = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        int value = base64_value(*c);
        if (value < 0) continue;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out[n++] = static_cast<unsigned char>(accumulator >> pending);
        }
    }
    out[n] = 0;
    return n;
}

void walk_policy_records(const unsigned char* data, size_t n, PolicyRecordVisitor visit, void* context) {
    size_t p = 0;
    while (p < n) {
        const char* key = reinterpret_cast<const char*>(data + p);
        size_t k = strnlen(key, n - p);
        size_t v = p + k + 1;
        if (v > n) {
            PolicyRecord last = {key, k, nullptr, false};
            visit(context, &last);
            return;
        }
        // data[n] is the NUL stored after the decoded bytes, so the value is
        // terminated even when its own NUL is missing.
        const char* value = reinterpret_cast<const char*>(data + v);
        size_t m = strnlen(value, n - v);
        p = v + m + 1;
        PolicyRecord record = {key, k, value, p <= n};
        visit(context, &record);
    }
}

bool str_list_push(StringList* list, const char* value) {
    if (list->count == list->capacity) {
        uint64_t capacity = list->count == 0 ? 16 : list->count * 2;
        void* grown = realloc(list->items, capacity * sizeof(char*));
        if (grown == nullptr) return false;
        list->items = static_cast<char**>(grown);
        list->capacity = capacity;
    }
    char* copy = strdup(value);
    if (copy == nullptr) return false;
    list->items[list->count++] = copy;
    return true;
}

PolicyError decode_policy(const char* blob, Policy* policy) {
    memset(policy, 0, sizeof(*policy));
    policy->hidden_root = strdup("/");
    policy->deny_single = strdup("");
    if (policy->hidden_root == nullptr || policy->deny_single == nullptr) return PolicyError::no_memory;

    unsigned char* data = FAULT_AT("decode-alloc") ? nullptr : static_cast<unsigned char*>(malloc(strlen(blob) + 1));
    if (data == nullptr) return PolicyError::no_memory;
    size_t n = decode_base64(blob, data);
    Decoding decoding = {policy, PolicyError::none};
    walk_policy_records(data, n, apply_visited, &decoding);
    free(data);
    if (decoding.error != PolicyError::none) return decoding.error;
    return compile_patterns(policy);
}

namespace {

void release_list(StringList* list) {
    for (uint64_t i = 0; i < list->count; ++i) free(list->items[i]);
    free(list->items);
}

}  // namespace

void release_policy(Policy* policy) {
    free(policy->hidden_root);
    free(policy->deny_single);
    if (policy->write_regexes != nullptr) {
        for (uint64_t i = 0; i < policy->write_patterns.count; ++i) regfree(&policy->write_regexes[i]);
        free(policy->write_regexes);
    }
    StringList* lists[] = {&policy->visible_tree,      &policy->stat_allow,        &policy->deny_tree,
                           &policy->deny_exact,        &policy->write_allow,       &policy->write_patterns,
                           &policy->write_deny,        &policy->delete_deny_exact, &policy->git_write_allow,
                           &policy->local_socket_allow};
    for (StringList* list : lists) release_list(list);
    free(policy->loopback_allow_ports.ports);
    free(policy->loopback_deny_ports.ports);
    memset(policy, 0, sizeof(*policy));
}
