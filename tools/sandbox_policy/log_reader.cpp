#include "tools/sandbox_policy/log_reader.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "policy/source.h"
#include "tools/sandbox_policy/log_fields.h"

namespace {

// Where each field of the log goes: a text field, a number, or the one flag.
struct FieldSlot {
    const char* key;
    std::string LogEvent::*text;
    std::optional<int64_t> LogEvent::*number;
};

// clang-format off
const FieldSlot k_slots[] = {
    {"time", &LogEvent::time, nullptr},         {"event", &LogEvent::event, nullptr},
    {"version", &LogEvent::version, nullptr},   {"mode", &LogEvent::mode, nullptr},
    {"command", &LogEvent::command, nullptr},   {"policy", &LogEvent::policy, nullptr},
    {"pid", nullptr, &LogEvent::pid},           {"comm", &LogEvent::comm, nullptr},
    {"call", &LogEvent::call, nullptr},         {"access", &LogEvent::access, nullptr},
    {"flags", &LogEvent::flags, nullptr},       {"path", &LogEvent::path, nullptr},
    {"judged", &LogEvent::judged, nullptr},     {"stage", &LogEvent::stage, nullptr},
    {"program", &LogEvent::program, nullptr},   {"fd", nullptr, &LogEvent::fd},
    {"address", &LogEvent::address, nullptr},   {"port", nullptr, &LogEvent::port},
    {"target", nullptr, &LogEvent::target},     {"rule", &LogEvent::rule, nullptr},
    {"entry", &LogEvent::entry, nullptr},       {"why", &LogEvent::why, nullptr},
    {"answer", &LogEvent::answer, nullptr},     {"refused", nullptr, &LogEvent::refused},
    {"would_refuse", nullptr, &LogEvent::would_refuse}, {"dropped", nullptr, &LogEvent::dropped},
};
// clang-format on

const FieldSlot* find_slot(const std::string& key) {
    for (const FieldSlot& slot : k_slots) {
        if (key == slot.key) return &slot;
    }
    return nullptr;
}

bool parse_whole_number(const std::string& text, int64_t* out) {
    size_t digits = text[0] == '-' ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    errno = 0;
    long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *out = value;
    return true;
}

const char* type_name(FieldValue type) {
    switch (type) {
    case FieldValue::text:
    case FieldValue::string: return "a string";
    case FieldValue::number: return "a number";
    case FieldValue::boolean: return "true or false";
    case FieldValue::null: return "null";
    }
    return "a value";
}

bool set_truncated(const LogField& field, LogEvent* out, std::string* error) {
    const bool text = field.type == FieldValue::text;
    if ((text && field.value == "1") || (field.type == FieldValue::boolean && field.value == "true")) {
        out->truncated = true;
    } else if ((text && field.value == "0") || (field.type == FieldValue::boolean && field.value == "false")) {
        out->truncated = false;
    } else {
        *error = "truncated is " + (text ? field.value : std::string(type_name(field.type))) + ", not 1 or true";
        return false;
    }
    return true;
}

// The text form writes every value as text; the JSON form says which are
// numbers, and a field of the other type is an error there.
bool set_field(const LogField& field, LogEvent* out, std::string* error) {
    // A null is an absent field, which the writer leaves out instead.
    if (field.type == FieldValue::null) return true;
    if (field.key == "truncated") return set_truncated(field, out, error);
    const FieldSlot* slot = find_slot(field.key);
    if (slot == nullptr) return true;
    if (slot->text != nullptr) {
        if (field.type != FieldValue::text && field.type != FieldValue::string) {
            *error = field.key + " is " + type_name(field.type) + ", not a string";
            return false;
        }
        out->*(slot->text) = field.value;
        return true;
    }
    int64_t number = 0;
    if ((field.type != FieldValue::text && field.type != FieldValue::number) ||
        !parse_whole_number(field.value, &number)) {
        *error = field.key + " is " +
                 (field.type == FieldValue::text ? "\"" + field.value + "\"" : std::string(type_name(field.type))) +
                 ", not a whole number";
        return false;
    }
    out->*(slot->number) = number;
    return true;
}

LogEventKind kind_of_event(const std::string& word) {
    if (word == "start") return LogEventKind::start;
    if (word == "refused") return LogEventKind::refused;
    if (word == "would-refuse") return LogEventKind::would_refuse;
    if (word == "end") return LogEventKind::end;
    return LogEventKind::other;
}

bool read_stream(FILE* file, std::string* text) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) text->append(buffer, n);
    return ferror(file) == 0;
}

}  // namespace

bool parse_log_line(const std::string& line, LogEvent* out, std::string* error) {
    *out = LogEvent{};
    std::vector<LogField> fields;
    const size_t first = line.find_first_not_of(" \t");
    const bool json = first != std::string::npos && line[first] == '{';
    if (!(json ? parse_json_fields(line, &fields, error) : parse_text_fields(line, &fields, error))) return false;
    for (size_t i = 0; i < fields.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (fields[j].key == fields[i].key) {
                *error = fields[i].key + " is given twice";
                return false;
            }
        }
        if (!set_field(fields[i], out, error)) return false;
    }
    if (out->time.empty() || out->event.empty()) {
        *error = out->time.empty() ? "no time field" : "no event field";
        return false;
    }
    out->kind = kind_of_event(out->event);
    return true;
}

void read_log_text(const std::string& text, LogFile* out) {
    size_t start = 0;
    std::string content;
    for (int line = 1; next_line(text, &start, &content); ++line) {
        if (content.find_first_not_of(" \t") == std::string::npos) continue;
        ++out->lines;
        LogEvent event;
        std::string error;
        if (!parse_log_line(content, &event, &error)) {
            out->problems.push_back({line, error});
            continue;
        }
        event.line = line;
        out->events.push_back(event);
    }
}

bool read_log_file(const std::string& name, LogFile* out, std::string* error) {
    *out = LogFile{};
    std::string text;
    FILE* file = name == "-" ? stdin : fopen(name.c_str(), "r");
    if (file == nullptr) {
        *error = "cannot open " + name;
        return false;
    }
    bool read = read_stream(file, &text);
    if (file != stdin) fclose(file);
    if (!read) {
        *error = "cannot read " + name;
        return false;
    }
    read_log_text(text, out);
    return true;
}

bool is_refusal(const LogEvent& event) {
    return event.kind == LogEventKind::refused || event.kind == LogEventKind::would_refuse;
}

const LogEvent* find_run_start(const std::vector<LogEvent>& events, size_t index) {
    for (size_t i = index + 1; i-- > 0;) {
        if (i < events.size() && events[i].kind == LogEventKind::start) return &events[i];
    }
    return nullptr;
}
