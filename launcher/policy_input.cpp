#include "launcher/policy_input.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "policy/policy.h"
#include "policy/source.h"

namespace {

// More than any policy needs, and a bound on what a mistaken file costs.
constexpr size_t k_policy_file_max = 16 << 20;

bool read_all(int fd, std::string* text) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        text->append(buffer, static_cast<size_t>(got));
        if (text->size() > k_policy_file_max) {
            errno = EFBIG;
            return false;
        }
    }
}

std::string directory_of(const std::string& name) {
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos) return current_directory();
    if (slash == 0) return "/";
    const std::string dir = name.substr(0, slash);
    return dir[0] == '/' ? dir : current_directory() + "/" + dir;
}

// A file's text as policy: source when it reads as source, a blob when it
// is one word of the Base64 alphabet.
bool policy_of_text(const std::string& text, const std::string& origin, const std::string& base_dir, std::string* blob,
                    std::string* problem) {
    if (looks_like_blob(text)) {
        *blob = text;
        return check_blob(blob->c_str(), problem);
    }
    SourceReader reader;
    read_source_text(&reader, text, origin, base_dir);
    if (!reader.problems.empty()) {
        const Diagnostic& first = reader.problems.front();
        *problem = first.origin + ": " + first.message;
        if (reader.problems.size() > 1) *problem += " (and " + std::to_string(reader.problems.size() - 1) + " more)";
        return false;
    }
    *blob = encode_rules(reader.rules);
    return true;
}

}  // namespace

bool looks_like_blob(const std::string& text) {
    bool any = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '#') return false;
        if (c != '\n' && c != '\r') any = true;
    }
    return any;
}

bool check_blob(const char* text, std::string* problem) {
    const BlobCheck check = check_blob_text(text);
    char line[160];
    switch (check.fault) {
    case BlobFault::none: return true;
    case BlobFault::foreign_byte:
        if (check.byte == ' ' || check.byte == '\t') {
            snprintf(line, sizeof(line),
                     "the policy is no blob: a blank at offset %zu (policy source? give it with --policy-file)",
                     check.offset);
        } else if (check.byte >= 0x21 && check.byte < 0x7f) {
            snprintf(line, sizeof(line), "the policy is no blob: '%c' at offset %zu is outside the Base64 alphabet",
                     check.byte, check.offset);
        } else {
            snprintf(line, sizeof(line),
                     "the policy is no blob: byte 0x%02x at offset %zu is outside the Base64 alphabet", check.byte,
                     check.offset);
        }
        break;
    case BlobFault::early_padding:
        snprintf(line, sizeof(line),
                 "the policy is blobs joined after encoding ('=' at offset %zu): encode the rules together",
                 check.offset);
        break;
    case BlobFault::lone_digit:
        snprintf(line, sizeof(line), "the policy was cut short: its Base64 text leaves one character over");
        break;
    }
    *problem = line;
    return false;
}

bool read_policy_blob(const CommandLine& line, std::string* blob, std::string* problem) {
    std::string text;
    switch (line.policy_from) {
    case PolicyFrom::none: *problem = "no policy"; return false;
    case PolicyFrom::blob: *blob = line.policy; return check_blob(line.policy, problem);
    case PolicyFrom::file: {
        int fd;
        do {
            fd = open(line.policy, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        } while (fd < 0 && errno == EINTR);
        const bool read = fd >= 0 && read_all(fd, &text);
        const int error = errno;
        if (fd >= 0) close(fd);
        if (!read) {
            *problem = std::string("cannot read the policy file ") + line.policy + ": " + strerror(error);
            return false;
        }
        return policy_of_text(text, line.policy, directory_of(line.policy), blob, problem);
    }
    case PolicyFrom::descriptor: {
        const bool read = read_all(line.policy_fd, &text);
        const int error = errno;
        close(line.policy_fd);
        if (!read) {
            *problem =
                "cannot read the policy from descriptor " + std::to_string(line.policy_fd) + ": " + strerror(error);
            return false;
        }
        return policy_of_text(text, "descriptor " + std::to_string(line.policy_fd), current_directory(), blob, problem);
    }
    }
    return false;
}
