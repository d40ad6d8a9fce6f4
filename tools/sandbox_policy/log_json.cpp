#include <stdio.h>

#include "tools/sandbox_policy/log_fields.h"

namespace {

void append_utf8(std::string* out, uint32_t code) {
    if (code < 0x800) {
        *out += static_cast<char>(0xc0 | (code >> 6));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xe0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    } else {
        *out += static_cast<char>(0xf0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    }
    *out += static_cast<char>(0x80 | (code & 0x3f));
}

// One JSON object of plain values, as the log's writer writes it; nested
// objects and arrays are not part of the log.
class JsonLine {
public:
    JsonLine(const std::string& line, std::string* error) : line_(line), error_(error) {}

    bool read(std::vector<LogField>* fields) {
        skip_blanks();
        if (!expect('{')) return false;
        skip_blanks();
        if (peek() == '}') return close_object();
        while (true) {
            LogField field{"", "", FieldValue::null};
            skip_blanks();
            if (peek() != '"') return fail("expected a field name in double quotes");
            if (!read_string(&field.key)) return false;
            skip_blanks();
            if (!expect(':')) return false;
            skip_blanks();
            if (!read_value(field.key, &field)) return false;
            fields->push_back(field);
            skip_blanks();
            if (peek() == '}') return close_object();
            if (!expect(',')) return false;
        }
    }

private:
    char peek() const { return at_ < line_.size() ? line_[at_] : 0; }
    bool at_end() const { return at_ >= line_.size(); }

    bool fail(const std::string& message) {
        *error_ = message + (at_end() ? " at the end of the line (the line is cut short?)"
                                      : " at byte " + std::to_string(at_ + 1));
        return false;
    }

    void skip_blanks() {
        while (!at_end() && (peek() == ' ' || peek() == '\t')) ++at_;
    }

    bool expect(char c) {
        if (peek() != c) return fail(std::string("expected '") + c + "'");
        ++at_;
        return true;
    }

    bool close_object() {
        ++at_;
        skip_blanks();
        if (!at_end()) return fail("text after the object");
        return true;
    }

    bool read_value(const std::string& key, LogField* field) {
        const char c = peek();
        if (c == '"') {
            field->type = FieldValue::string;
            return read_string(&field->value);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            field->type = FieldValue::number;
            return read_number(key, &field->value);
        }
        for (const char* word : {"true", "false", "null"}) {
            std::string text = word;
            if (line_.compare(at_, text.size(), text) != 0) continue;
            at_ += text.size();
            field->type = text == "null" ? FieldValue::null : FieldValue::boolean;
            field->value = text;
            return true;
        }
        if (c == '{' || c == '[') return fail("the value of " + key + " is nested, which no log line is");
        return fail("expected a value for " + key);
    }

    // Whole numbers only: every number of the log counts something.
    bool read_number(const std::string& key, std::string* digits) {
        size_t start = at_;
        if (peek() == '-') ++at_;
        while (peek() >= '0' && peek() <= '9') ++at_;
        if (at_ == start || line_[at_ - 1] == '-') return fail("a sign without digits in " + key);
        if (peek() == '.' || peek() == 'e' || peek() == 'E') return fail(key + " is not a whole number");
        *digits = line_.substr(start, at_ - start);
        return true;
    }

    bool read_hex4(uint32_t* code) {
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hex_digit(peek());
            if (digit < 0 || at_end()) return fail("\\u needs four hex digits");
            *code = *code * 16 + static_cast<uint32_t>(digit);
            ++at_;
        }
        return true;
    }

    bool read_unicode(std::string* out) {
        uint32_t code;
        if (!read_hex4(&code)) return false;
        if (code == 0) return fail("a NUL byte in a string");
        // The writer escapes a byte that is not valid UTF-8 as \u0080 to
        // \u00ff and never a real character in that range.
        if (code < 0x100) {
            *out += static_cast<char>(code);
            return true;
        }
        if (code >= 0xdc00 && code <= 0xdfff) return fail("a low surrogate without a high one");
        if (code >= 0xd800 && code <= 0xdbff) {
            uint32_t low;
            if (line_.compare(at_, 2, "\\u") != 0) return fail("a high surrogate without a low one");
            at_ += 2;
            if (!read_hex4(&low)) return false;
            if (low < 0xdc00 || low > 0xdfff) return fail("a high surrogate without a low one");
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        append_utf8(out, code);
        return true;
    }

    bool read_string(std::string* out) {
        ++at_;
        while (!at_end()) {
            const unsigned char c = static_cast<unsigned char>(line_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                char text[8];
                snprintf(text, sizeof(text), "0x%02x", c);
                return fail(std::string("unescaped control byte ") + text + " in a string");
            }
            ++at_;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            const char kind = peek();
            ++at_;
            switch (kind) {
            case '"':
            case '\\':
            case '/': *out += kind; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u':
                if (!read_unicode(out)) return false;
                break;
            default: --at_; return fail(std::string("unknown escape \\") + (kind != 0 ? kind : ' '));
            }
        }
        return fail("a string without its closing quote");
    }

    const std::string& line_;
    std::string* error_;
    size_t at_ = 0;
};

}  // namespace

bool parse_json_fields(const std::string& line, std::vector<LogField>* fields, std::string* error) {
    return JsonLine(line, error).read(fields);
}
