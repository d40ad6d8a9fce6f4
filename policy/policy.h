// The policy record: decoded once in the launcher before the first fork,
// then only read.
#pragma once

#include <regex.h>
#include <stddef.h>
#include <stdint.h>

struct StringList {
    char** items;
    uint64_t count;
    uint64_t capacity;
};

struct PortList {
    int32_t* ports;
    uint64_t count;
};

struct Policy {
    char* hidden_root;               // R
    StringList visible_tree;         // E
    StringList stat_allow;           // M
    StringList deny_tree;            // D
    StringList deny_exact;           // F
    char* deny_single;               // S
    StringList write_allow;          // W
    StringList write_patterns;       // P
    regex_t* write_regexes;          // one per write_patterns entry
    StringList write_deny;           // X
    StringList delete_deny_exact;    // A
    PortList loopback_allow_ports;   // L
    StringList git_write_allow;      // G
    int32_t loopback_default_allow;  // H
    PortList loopback_deny_ports;    // N
    int32_t hidden_missing;          // Y: a hidden path answers ENOENT, not EACCES
    StringList local_socket_allow;   // U
};

// Why a blob could not be decoded.
enum class PolicyError : uint8_t {
    none,
    no_memory,
    bad_pattern,  // a write pattern does not compile
};

// Decodes the standard Base64 alphabet, skipping every other byte, into out
// (room for strlen(text) bytes plus a NUL). Leftover bits are dropped.
// Returns the number of bytes decoded; out[n] is set to NUL.
size_t decode_base64(const char* text, unsigned char* out);

// What makes blob text one that no encoder writes. Encoders write the
// Base64 alphabet, may break lines, and pad the end with "="; a space is
// no part of a blob (the decoder skips it, but text with spaces is more
// likely policy source given as a blob).
enum class BlobFault : uint8_t {
    none,
    foreign_byte,   // a byte of no Base64 alphabet: the text was mangled or is something else
    early_padding,  // "=" before more text: blobs joined after encoding, which misread
    lone_digit,     // a length that leaves one character over: cut short
};

struct BlobCheck {
    BlobFault fault;
    size_t offset;       // of the foreign byte or the early "="
    unsigned char byte;  // the foreign byte
};

// Checks blob text before it is decoded; the decoder itself reads any text.
[[nodiscard]] BlobCheck check_blob_text(const char* blob);

// Fills *policy from the blob. On an error the record holds what was
// decoded before it and is not to be used.
[[nodiscard]] PolicyError decode_policy(const char* blob, Policy* policy);

// Gives back what decode_policy took and leaves the record empty: for
// policies that do not live as long as the program.
void release_policy(Policy* policy);

// Appends a private copy of value; false when memory runs out.
[[nodiscard]] bool str_list_push(StringList* list, const char* value);

// One record as the walk over decoded bytes meets it, for tools that show a
// blob the way decode_policy reads it. The key is key_length bytes (only
// one-byte keys are applied). value is null for a last key that has no NUL
// and so no value; terminated is false when the value ran to the end of the data
// without a NUL of its own.
struct PolicyRecord {
    const char* key;
    size_t key_length;
    const char* value;
    bool terminated;
};

using PolicyRecordVisitor = void (*)(void* context, const PolicyRecord* record);

// Calls visit for every record of data[0..n) in order, the ignored ones
// included. data[n] must be a NUL, as decode_base64 leaves it.
void walk_policy_records(const unsigned char* data, size_t n, PolicyRecordVisitor visit, void* context);
