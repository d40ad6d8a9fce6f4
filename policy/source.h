// Policy source: readable rules, one a line, and the blob they encode to.
// Both programs read it: sandbox-policy encode, and sandbox for a policy
// file. Only start-up uses it.
#pragma once

#include <string>
#include <vector>

// One record of the blob, with where it came from for messages.
struct Rule {
    char key;
    std::string value;
    std::string origin;  // "FILE:LINE", "--visible", "record 3"
};

struct Diagnostic {
    std::string origin;
    std::string message;
};

enum ValueKind { VALUE_PATH, VALUE_PATTERN, VALUE_PORT, VALUE_SWITCH };

struct RuleName {
    char key;
    const char* name;
    ValueKind kind;
    int last_one_wins;
};

// The words a switch is written with: on for the record value "1", off for
// any other.
struct SwitchWords {
    const char* on;
    const char* off;
};
[[nodiscard]] SwitchWords switch_words(const RuleName& rule);

const RuleName* rule_by_name(const std::string& name);
const RuleName* rule_by_key(char key);

// Source: one rule a line. Strict reading (encode, explain) refuses a
// relative path; lenient reading (lint) keeps it for lint to report. Every
// other problem is recorded in both modes and the rule left out.
struct SourceReader {
    bool lenient = false;
    std::vector<Rule> rules;
    std::vector<Diagnostic> problems;
    std::vector<std::string> open_files;  // the include chain, canonical names
};

// "-" is standard input. Includes are taken from the including file's directory.
void read_source_file(SourceReader* reader, const std::string& name, const std::string& origin);
// The line of text at *start, without its newline or a carriage return
// before that, and *start moved past it; false at the end of text.
[[nodiscard]] bool next_line(const std::string& text, size_t* start, std::string* line);

void read_source_text(SourceReader* reader, const std::string& text, const std::string& name,
                      const std::string& base_dir);
// One rule by its long name, as a line or a command-line option gives it.
void add_rule(SourceReader* reader, const std::string& name, const std::string& value, const std::string& origin,
              const std::string& base_dir);

// A leading "~" (alone or before "/") becomes the home directory.
std::string expand_home(const std::string& path);
std::string current_directory();

// Records are joined before encoding: Base64 blobs cannot be concatenated.
std::string encode_rules(const std::vector<Rule>& rules);
// "visible /usr", or the name alone for an empty value.
std::string format_rule(const Rule& rule);
// regcomp's message for a pattern that does not compile, or "".
std::string pattern_error(const std::string& pattern);
