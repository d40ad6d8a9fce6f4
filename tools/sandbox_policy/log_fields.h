// The fields of one log line as its syntax gives them, before they are
// given meaning: the text form and the JSON form each have a reader.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// What a value was written as. Every value of the text form is text; the
// JSON form says which values are numbers.
enum class FieldValue : uint8_t { text, string, number, boolean, null };

struct LogField {
    std::string key;
    std::string value;  // the bytes, unescaped; a number's digits; "true" or "false"
    FieldValue type;
};

// key=value pairs separated by one space; a value is bare or in double
// quotes with \" \\ \n \t and \xHH escapes.
[[nodiscard]] bool parse_text_fields(const std::string& line, std::vector<LogField>* fields, std::string* error);
// One JSON object of strings, whole numbers, booleans and nulls. \u0080 to
// \u00ff stand for that one byte, as the log's writer escapes a byte that
// is not part of valid UTF-8.
[[nodiscard]] bool parse_json_fields(const std::string& line, std::vector<LogField>* fields, std::string* error);

// The value of a hex digit, or -1.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
