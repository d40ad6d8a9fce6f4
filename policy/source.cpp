#include "policy/source.h"

#include <limits.h>
#include <pwd.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr RuleName k_rules[] = {
    // clang-format off
    {'R', "hidden_root", VALUE_PATH, 1},      {'E', "visible", VALUE_PATH, 0},
    {'M', "stat_allow", VALUE_PATH, 0},       {'D', "deny", VALUE_PATH, 0},
    {'F', "deny_exact", VALUE_PATH, 0},       {'S', "deny_single", VALUE_PATH, 1},
    {'W', "write", VALUE_PATH, 0},            {'P', "write_pattern", VALUE_PATTERN, 0},
    {'X', "write_deny", VALUE_PATH, 0},       {'A', "delete_deny", VALUE_PATH, 0},
    {'G', "git_write", VALUE_PATH, 0},        {'L', "loopback_allow", VALUE_PORT, 0},
    {'N', "loopback_deny", VALUE_PORT, 0},    {'H', "loopback_default", VALUE_SWITCH, 1},
    {'Y', "hidden_answer", VALUE_SWITCH, 1},  {'U', "local_socket", VALUE_PATH, 0},
    // clang-format on
};

// Nested includes deeper than this are a cycle the names did not reveal
// (the same file through different mounts) or a mistake.
constexpr size_t k_include_depth = 32;

std::string home_directory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != 0) return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

void problem(SourceReader* reader, const std::string& origin, const std::string& message) {
    reader->problems.push_back({origin, message});
}

bool read_whole(FILE* file, std::string* text) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) text->append(buffer, n);
    return ferror(file) == 0;
}

std::string directory_of(const std::string& name) {
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) return current_directory();
    if (slash == 0) return "/";
    std::string dir = name.substr(0, slash);
    return dir[0] == '/' ? dir : current_directory() + "/" + dir;
}

bool is_port_text(const std::string& value) {
    if (value.empty() || value.size() > 5) return false;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
    }
    long port = strtol(value.c_str(), nullptr, 10);
    return port >= 1 && port <= 65535;
}

// The value as the record will hold it, or false after recording why not.
bool convert_value(SourceReader* reader, const RuleName& rule, std::string* value, const std::string& origin) {
    switch (rule.kind) {
    case VALUE_PATH:
        *value = expand_home(*value);
        if (value->empty() || (*value)[0] == '/' || reader->lenient) return true;
        problem(reader, origin,
                rule.name + std::string(" ") + *value + ": relative path; the sandbox compares absolute paths (" +
                    current_directory() + "/" + *value + "?)");
        return false;
    case VALUE_PATTERN: {
        std::string error = pattern_error(*value);
        if (error.empty()) return true;
        problem(reader, origin, "write_pattern " + *value + ": does not compile: " + error);
        return false;
    }
    case VALUE_PORT:
        if (is_port_text(*value)) return true;
        problem(reader, origin, std::string(rule.name) + " " + *value + ": not a port (1 to 65535)");
        return false;
    case VALUE_SWITCH: {
        const SwitchWords words = switch_words(rule);
        if (*value == words.on || *value == words.off) {
            value->assign(1, *value == words.on ? '1' : '0');
            return true;
        }
        problem(reader, origin,
                std::string(rule.name) + " takes " + words.on + " or " + words.off + ", not '" + *value + "'");
        return false;
    }
    }
    return false;
}

void include_file(SourceReader* reader, const std::string& value, const std::string& origin,
                  const std::string& base_dir) {
    std::string name = expand_home(value);
    if (name.empty()) {
        problem(reader, origin, "include needs a file name");
        return;
    }
    if (name[0] != '/') name = base_dir + "/" + name;
    read_source_file(reader, name, origin);
}

}  // namespace

const RuleName* rule_by_name(const std::string& name) {
    for (const RuleName& rule : k_rules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

const RuleName* rule_by_key(char key) {
    for (const RuleName& rule : k_rules) {
        if (key == rule.key) return &rule;
    }
    return nullptr;
}

std::string current_directory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof(buffer)) != nullptr ? buffer : ".";
}

std::string expand_home(const std::string& path) {
    if (path == "~") return home_directory();
    if (path.compare(0, 2, "~/") != 0) return path;
    std::string home = home_directory();
    if (home == "/") return path.substr(1);
    return home + path.substr(1);
}

void add_rule(SourceReader* reader, const std::string& name, const std::string& value, const std::string& origin,
              const std::string& base_dir) {
    if (name == "include") {
        include_file(reader, value, origin, base_dir);
        return;
    }
    const RuleName* rule = rule_by_name(name);
    if (rule == nullptr) {
        problem(reader, origin, "unknown rule '" + name + "'");
        return;
    }
    std::string converted = value;
    if (convert_value(reader, *rule, &converted, origin)) reader->rules.push_back({rule->key, converted, origin});
}

bool next_line(const std::string& text, size_t* start, std::string* line) {
    if (*start >= text.size()) return false;
    size_t end = text.find('\n', *start);
    if (end == std::string::npos) end = text.size();
    line->assign(text, *start, end - *start);
    *start = end + 1;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

void read_source_text(SourceReader* reader, const std::string& text, const std::string& name,
                      const std::string& base_dir) {
    size_t start = 0;
    std::string content;
    for (int line = 1; next_line(text, &start, &content); ++line) {
        size_t first = content.find_first_not_of(" \t");
        if (first == std::string::npos || content[first] == '#') continue;
        size_t blank = content.find_first_of(" \t", first);
        std::string keyword = content.substr(first, blank == std::string::npos ? std::string::npos : blank - first);
        size_t value_start = blank == std::string::npos ? content.size() : content.find_first_not_of(" \t", blank);
        std::string value = value_start == std::string::npos ? "" : content.substr(value_start);
        add_rule(reader, keyword, value, name + ":" + std::to_string(line), base_dir);
    }
}

void read_source_file(SourceReader* reader, const std::string& name, const std::string& origin) {
    std::string text;
    if (name == "-") {
        if (!read_whole(stdin, &text)) problem(reader, origin, "cannot read standard input");
        read_source_text(reader, text, "<stdin>", current_directory());
        return;
    }
    char canonical[PATH_MAX];
    FILE* file = realpath(name.c_str(), canonical) != nullptr ? fopen(canonical, "r") : nullptr;
    if (file == nullptr) {
        problem(reader, origin, "cannot open " + name);
        return;
    }
    std::string cycle;
    for (const std::string& open : reader->open_files) {
        if (!cycle.empty() || open == canonical) cycle += open + " -> ";
    }
    if (!cycle.empty() || reader->open_files.size() >= k_include_depth) {
        problem(reader, origin,
                cycle.empty() ? "includes nested too deep at " + name : "include cycle: " + cycle + canonical);
        fclose(file);
        return;
    }
    bool read = read_whole(file, &text);
    fclose(file);
    if (!read) {
        problem(reader, origin, "cannot read " + name);
        return;
    }
    reader->open_files.push_back(canonical);
    read_source_text(reader, text, name, directory_of(canonical));
    reader->open_files.pop_back();
}

std::string base64_text(const std::string& bytes) {
    static const char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t rest = bytes.size() - i;
        unsigned v = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest > 1) v |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (rest > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += k_alphabet[(v >> 18) & 63];
        out += k_alphabet[(v >> 12) & 63];
        out += rest > 1 ? k_alphabet[(v >> 6) & 63] : '=';
        out += rest > 2 ? k_alphabet[v & 63] : '=';
    }
    return out;
}

std::string encode_rules(const std::vector<Rule>& rules) {
    std::string bytes;
    for (const Rule& rule : rules) {
        bytes += rule.key;
        bytes += '\0';
        bytes += rule.value;
        bytes += '\0';
    }
    return base64_text(bytes);
}

SwitchWords switch_words(const RuleName& rule) {
    if (rule.key == 'Y') return {"ENOENT", "EACCES"};
    return {"allow", "deny"};
}

std::string format_rule(const Rule& rule) {
    const RuleName* name = rule_by_key(rule.key);
    std::string value = rule.value;
    if (name->kind == VALUE_SWITCH) value = rule.value == "1" ? switch_words(*name).on : switch_words(*name).off;
    return value.empty() ? name->name : std::string(name->name) + " " + value;
}

std::string pattern_error(const std::string& pattern) {
    regex_t compiled;
    int status = regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (status == 0) {
        regfree(&compiled);
        return "";
    }
    char message[256];
    regerror(status, &compiled, message, sizeof(message));
    return message;
}
