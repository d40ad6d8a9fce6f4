#include <stdio.h>

#include "tools/sandbox_policy/log_fields.h"

namespace {

bool is_key_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A bare value is printable ASCII without blanks, quotes or backslashes.
bool is_bare_byte(char c) {
    return c >= 0x21 && c <= 0x7e && c != '"' && c != '\\';
}

std::string at_byte(size_t at) {
    return " at byte " + std::to_string(at + 1);
}

std::string byte_text(unsigned char c) {
    char text[8];
    snprintf(text, sizeof(text), "0x%02x", c);
    return text;
}

class TextLine {
public:
    TextLine(const std::string& line, std::string* error) : line_(line), error_(error) {}

    bool read(std::vector<LogField>* fields) {
        if (line_.empty()) return fail("an empty line", 0);
        while (true) {
            LogField field{"", "", FieldValue::text};
            if (!read_key(&field.key) || !read_value(field.key, &field.value)) return false;
            fields->push_back(field);
            if (at_ == line_.size()) return true;
            if (line_[at_] != ' ') return fail("expected a space after the value of " + field.key, at_);
            if (++at_ == line_.size()) return fail("a space at the end of the line", at_ - 1);
        }
    }

private:
    bool fail(const std::string& message, size_t at) {
        *error_ = message + at_byte(at);
        return false;
    }

    bool read_key(std::string* key) {
        size_t start = at_;
        while (at_ < line_.size() && is_key_byte(line_[at_])) ++at_;
        if (at_ == start) return fail("expected a field name", at_);
        if (at_ == line_.size() || line_[at_] != '=') {
            return fail("expected '=' after " + line_.substr(start, at_ - start), at_);
        }
        *key = line_.substr(start, at_ - start);
        ++at_;
        return true;
    }

    bool read_value(const std::string& key, std::string* value) {
        if (at_ < line_.size() && line_[at_] == '"') return read_quoted(key, value);
        size_t start = at_;
        while (at_ < line_.size() && line_[at_] != ' ') {
            if (!is_bare_byte(line_[at_])) {
                return fail(
                    "byte " + byte_text(static_cast<unsigned char>(line_[at_])) + " in the unquoted value of " + key,
                    at_);
            }
            ++at_;
        }
        if (at_ == start) return fail(key + " has no value", at_);
        *value = line_.substr(start, at_ - start);
        return true;
    }

    bool read_quoted(const std::string& key, std::string* value) {
        size_t open = at_++;
        while (at_ < line_.size()) {
            const char c = line_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20 || c > 0x7e) {
                return fail("byte " + byte_text(static_cast<unsigned char>(c)) + " in the value of " + key, at_);
            }
            if (c != '\\') {
                *value += c;
                ++at_;
            } else if (!read_escape(key, value)) {
                return false;
            }
        }
        return fail("the value of " + key + " has no closing quote (the line is cut short?)", open);
    }

    bool read_escape(const std::string& key, std::string* value) {
        const size_t start = at_;
        const char kind = at_ + 1 < line_.size() ? line_[at_ + 1] : 0;
        at_ += 2;
        switch (kind) {
        case '"':
        case '\\': *value += kind; return true;
        case 'n': *value += '\n'; return true;
        case 't': *value += '\t'; return true;
        case 'x': {
            int high = at_ < line_.size() ? hex_digit(line_[at_]) : -1;
            int low = at_ + 1 < line_.size() ? hex_digit(line_[at_ + 1]) : -1;
            if (high < 0 || low < 0) return fail("\\x needs two hex digits in the value of " + key, start);
            if (high == 0 && low == 0) return fail("a NUL byte in the value of " + key, start);
            *value += static_cast<char>(high * 16 + low);
            at_ += 2;
            return true;
        }
        case 0: return fail("the value of " + key + " ends in a lone backslash", start);
        default: return fail(std::string("unknown escape \\") + kind + " in the value of " + key, start);
        }
    }

    const std::string& line_;
    std::string* error_;
    size_t at_ = 0;
};

}  // namespace

bool parse_text_fields(const std::string& line, std::vector<LogField>* fields, std::string* error) {
    return TextLine(line, error).read(fields);
}
