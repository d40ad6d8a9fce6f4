// Building policy blobs for tests: Base64 of key NUL value NUL records.
#pragma once

#include <string>
#include <utility>
#include <vector>

inline std::string base64_encode(const std::string& bytes) {
    static const char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    auto byte = [&bytes](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])); };
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += k_alphabet[(v >> 18) & 63];
        out += k_alphabet[(v >> 12) & 63];
        out += k_alphabet[(v >> 6) & 63];
        out += k_alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = byte(i) << 16;
        if (rest == 2) v |= byte(i + 1) << 8;
        out += k_alphabet[(v >> 18) & 63];
        out += k_alphabet[(v >> 12) & 63];
        out += rest == 2 ? k_alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

using Records = std::vector<std::pair<std::string, std::string>>;

inline std::string record_bytes(const Records& records) {
    std::string bytes;
    for (const auto& [key, value] : records) {
        bytes += key;
        bytes += '\0';
        bytes += value;
        bytes += '\0';
    }
    return bytes;
}

inline std::string make_blob(const Records& records) {
    return base64_encode(record_bytes(records));
}
