#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/exit_status.h"
#include "policy/policy.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

struct RawRecord {
    std::string key;
    bool has_value;
    std::string value;
    bool terminated;
};

void collect(void* context, const PolicyRecord* record) {
    auto* records = static_cast<std::vector<RawRecord>*>(context);
    RawRecord raw{std::string(record->key, record->key_length), record->value != nullptr, "", record->terminated};
    if (record->value != nullptr) raw.value = record->value;
    records->push_back(raw);
}

class Writer {
public:
    explicit Writer(DecodedBlob* out) : out_(out) {}
    // misread: the record is ignored or read otherwise than it says, as
    // opposed to a note on what a rule read as written means.
    void note(const std::string& origin, const std::string& message, bool misread = true) {
        out_->notes.push_back({origin, message});
        if (misread) out_->misread.push_back({origin, message});
        out_->text += "# " + message + "\n";
    }
    void rule(const Rule& rule) {
        out_->rules.push_back(rule);
        out_->text += format_rule(rule) + "\n";
    }

private:
    DecodedBlob* out_;
};

// Source can say any value but one that a line cannot hold or that reading
// would change: leading blanks, line breaks, a trailing carriage return,
// a leading "~" of a path.
bool is_writable_as_source(const RuleName& rule, const std::string& value) {
    if (!value.empty() && (value[0] == ' ' || value[0] == '\t' || value.back() == '\r')) return false;
    if (value.find('\n') != std::string::npos) return false;
    return rule.kind != VALUE_PATH || value[0] != '~';
}

void port_record(Writer* writer, const RuleName& rule, const std::string& value, const std::string& origin) {
    // The same reading as decode_policy's, range checked before narrowing.
    long parsed = strtol(value.c_str(), nullptr, 10);
    if (parsed < 1 || parsed > 65535) {
        writer->note(origin, std::string("ignored: ") + rule.name + " " + quoted(value) + " is not a port (1-65535)");
        return;
    }
    std::string port = std::to_string(parsed);
    if (port != value) writer->note(origin, quoted(value) + " is read as " + port);
    writer->rule({rule.key, port, origin});
}

void path_notes(Writer* writer, const RuleName& rule, const std::string& value, const std::string& origin) {
    if (rule.kind == VALUE_PATTERN) {
        if (value.empty()) writer->note(origin, "an empty write_pattern matches every path", false);
        return;
    }
    if (value.empty() && rule.key == 'R') {
        writer->note(origin, "an empty hidden_root hides nothing", false);
    } else if (value.empty() && rule.key != 'S') {
        writer->note(origin, std::string("an empty ") + rule.name + " entry matches nothing", false);
    } else if (!value.empty() && value[0] != '/') {
        writer->note(origin, std::string("relative: ") + rule.name + " " + quoted(value) + " matches no path", false);
    }
}

void known_record(Writer* writer, const RuleName& rule, const std::string& value, const std::string& origin,
                  const std::string& winner, DecodedBlob* out) {
    if (rule.kind == VALUE_PORT) {
        port_record(writer, rule, value, origin);
        return;
    }
    if (!winner.empty()) writer->note(origin, "replaced by " + winner + ": the last one wins", false);
    if (rule.kind == VALUE_SWITCH) {
        if (value != "1" && value != "0") {
            writer->note(origin, quoted(value) + " is not \"1\": read as " + switch_words(rule).off);
        }
        writer->rule({rule.key, value == "1" ? "1" : "0", origin});
        return;
    }
    path_notes(writer, rule, value, origin);
    if (rule.kind == VALUE_PATTERN && out->bad_pattern.empty()) {
        std::string error = pattern_error(value);
        if (!error.empty()) {
            out->bad_pattern = value;
            out->pattern_message = error;
            writer->note(origin, "does not compile (" + error + "): sandbox refuses the policy with 112", false);
        }
    }
    if (is_writable_as_source(rule, value)) {
        writer->rule({rule.key, value, origin});
        return;
    }
    writer->note(origin, std::string("cannot be written as source: ") + rule.name + " " + quoted(value));
    out->rules.push_back({rule.key, value, origin});
}

void record(Writer* writer, const RawRecord& raw, const std::string& origin, const std::string& winner,
            DecodedBlob* out) {
    if (!raw.has_value) {
        writer->note(origin, "ignored: the last key " + quoted(raw.key) + " has no value");
        return;
    }
    if (!raw.terminated) writer->note(origin, "the last value has no NUL of its own: it runs to the end");
    const RuleName* rule = raw.key.size() == 1 ? rule_by_key(raw.key[0]) : nullptr;
    if (rule != nullptr) {
        known_record(writer, *rule, raw.value, origin, winner, out);
        return;
    }
    std::string what = raw.key.empty()                          ? "an empty key"
                       : raw.key.size() > 1                     ? "key " + quoted(raw.key) + " is longer than one byte"
                       : raw.key[0] >= 'a' && raw.key[0] <= 'z' ? "key " + quoted(raw.key) + " is lower-case"
                                                                : "unknown key " + quoted(raw.key);
    writer->note(origin, "ignored: " + what + " (value " + quoted(raw.value) + ")");
}

int base64_digit(char c) {
    static const char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* found = c != 0 ? strchr(k_alphabet, c) : nullptr;
    return found != nullptr ? static_cast<int>(found - k_alphabet) : -1;
}

// Bits that make no byte are dropped; zero bits after the last byte are
// ordinary padding, anything else is data lost. An '=' before more digits
// means two blobs were joined: the stream runs on and the second is shifted.
void stream_notes(Writer* writer, const char* blob) {
    size_t digits = 0;
    int last = 0;
    bool joined = false;
    bool padded = false;
    for (const char* c = blob; *c != 0; ++c) {
        int value = base64_digit(*c);
        if (*c == '=') padded = digits > 0;
        if (value < 0) continue;
        joined = joined || padded;
        ++digits;
        last = value;
    }
    if (joined) writer->note("blob", "'=' inside the text: blobs joined after encoding read as one shifted stream");
    int leftover = static_cast<int>(digits % 4 * 6 % 8);
    if (leftover == 6 || (leftover > 0 && (last & ((1 << leftover) - 1)) != 0)) {
        writer->note("blob", std::to_string(leftover) + " leftover bits ignored");
    }
}

}  // namespace

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            static const char k_hex[] = "0123456789abcdef";
            out += "\\x";
            out += k_hex[c >> 4];
            out += k_hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void decode_blob(const char* blob, DecodedBlob* out) {
    *out = DecodedBlob{};
    unsigned char* data = static_cast<unsigned char*>(malloc(strlen(blob) + 1));
    if (data == nullptr) _exit(EXIT_NO_MEMORY);
    size_t n = decode_base64(blob, data);
    std::vector<RawRecord> raw;
    walk_policy_records(data, n, collect, &raw);
    free(data);

    // The R, S and H records a later one of the same key replaces, and the
    // one that wins.
    std::vector<std::string> winner(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const RuleName* rule = raw[i].has_value && raw[i].key.size() == 1 ? rule_by_key(raw[i].key[0]) : nullptr;
        if (rule == nullptr || !rule->last_one_wins) continue;
        for (size_t j = i + 1; j < raw.size(); ++j) {
            if (!raw[j].has_value || raw[j].key != raw[i].key) continue;
            const SwitchWords words = switch_words(*rule);
            std::string value =
                rule->kind == VALUE_SWITCH ? (raw[j].value == "1" ? words.on : words.off) : raw[j].value;
            winner[i] = "record " + std::to_string(j + 1) + ", " + rule->name + " " + quoted(value);
        }
    }
    Writer writer(out);
    stream_notes(&writer, blob);
    for (size_t i = 0; i < raw.size(); ++i) {
        record(&writer, raw[i], "record " + std::to_string(i + 1), winner[i], out);
    }
}

void decode_policy_or_exit(const char* blob, Policy* policy) {
    switch (decode_policy(blob, policy)) {
    case PolicyError::none: return;
    case PolicyError::no_memory: _exit(EXIT_NO_MEMORY);
    case PolicyError::bad_pattern: _exit(EXIT_BAD_PATTERN);
    }
}
