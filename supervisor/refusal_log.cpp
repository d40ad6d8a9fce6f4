#include "supervisor/refusal_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/io.h"
#include "rules/verdict_text.h"

namespace {

// Room kept at the end of a line for the mark of a cut one and its end.
constexpr size_t k_line_reserve = 32;

// Builds one line field by field. A value longer than cap is cut, never
// inside an escape, and the line says it was.
class LineWriter {
public:
    LineWriter(LogFormat format, char* out, size_t size, size_t cap)
        : format_(format), out_(out), size_(size < k_log_line_max ? size : k_log_line_max), cap_(cap) {
        out_[0] = 0;
        if (format_ == LogFormat::json) put("{", 1);
    }

    void text(const char* key, const char* value) {
        begin_field(key);
        if (format_ == LogFormat::json) {
            put_json_string(value);
        } else {
            put_text_value(value);
        }
    }

    void number(const char* key, long value) {
        char digits[24];
        const int n = snprintf(digits, sizeof(digits), "%ld", value);
        begin_field(key);
        if (format_ == LogFormat::json) {
            put(digits, static_cast<size_t>(n));
        } else {
            put(digits, static_cast<size_t>(n));
        }
    }

    [[nodiscard]] size_t finish() {
        // The reserve is kept for this: the end always fits.
        limit_ = size_ - 1;
        if (truncated_) {
            if (format_ == LogFormat::json) {
                put(",\"truncated\":true", 17);
            } else {
                put(" truncated=1", 12);
            }
        }
        if (format_ == LogFormat::json) put("}", 1);
        put("\n", 1);
        out_[length_] = 0;
        return length_;
    }

    [[nodiscard]] bool truncated() const { return truncated_; }

private:
    void begin_field(const char* key) {
        if (format_ == LogFormat::json) {
            if (fields_ > 0) put(",", 1);
            put("\"", 1);
            put(key, strlen(key));
            put("\":", 2);
        } else {
            if (fields_ > 0) put(" ", 1);
            put(key, strlen(key));
            put("=", 1);
        }
        ++fields_;
    }

    bool put(const char* bytes, size_t n) {
        if (length_ + n > limit_) {
            truncated_ = true;
            return false;
        }
        memcpy(out_ + length_, bytes, n);
        length_ += n;
        return true;
    }

    // Bare when every byte is printable ASCII but a quote or a backslash;
    // else quoted, with every other byte escaped: a line is plain ASCII.
    void put_text_value(const char* value) {
        bool bare = value[0] != 0;
        for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c != 0 && bare; ++c) {
            bare = *c > 0x20 && *c < 0x7f && *c != '"' && *c != '\\';
        }
        if (bare) {
            put_capped(value);
            return;
        }
        put("\"", 1);
        size_t used = 0;
        for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c != 0; ++c) {
            char escape[8];
            size_t n = escape_common(*c, escape);
            if (n == 0 && (*c < 0x20 || *c >= 0x7f)) {
                n = static_cast<size_t>(snprintf(escape, sizeof(escape), "\\x%02x", *c));
            } else if (n == 0) {
                escape[0] = static_cast<char>(*c);
                n = 1;
            }
            if (!put_escaped(escape, n, &used)) break;
        }
        put("\"", 1);
    }

    // JSON strings: valid UTF-8 passes; a stray byte is written \u00XX,
    // which no real character in that range is ever written as.
    void put_json_string(const char* value) {
        put("\"", 1);
        const unsigned char* c = reinterpret_cast<const unsigned char*>(value);
        size_t used = 0;
        while (*c != 0) {
            char escape[8];
            size_t consumed = 1;
            const size_t sequence = utf8_sequence(c);
            size_t n = escape_common(*c, escape);
            if (n == 0 && (*c < 0x20 || *c == 0x7f || (*c >= 0x80 && sequence == 0))) {
                n = static_cast<size_t>(snprintf(escape, sizeof(escape), "\\u%04x", *c));
            } else if (n == 0) {
                n = consumed = sequence;
                memcpy(escape, c, n);
            }
            if (!put_escaped(escape, n, &used)) break;
            c += consumed;
        }
        put("\"", 1);
    }

    // The escapes both formats share: a quote, a backslash, a newline, a
    // tab. 0 for any other byte.
    static size_t escape_common(unsigned char c, char* escape) {
        if (c == '"' || c == '\\') {
            escape[0] = '\\';
            escape[1] = static_cast<char>(c);
            return 2;
        }
        if (c == '\n' || c == '\t') {
            escape[0] = '\\';
            escape[1] = c == '\n' ? 'n' : 't';
            return 2;
        }
        return 0;
    }

    // A value's bytes up to its cap and the line's room, keeping a byte for
    // the closing quote; false once it was cut, which "..." marks.
    bool put_escaped(const char* escape, size_t n, size_t* used) {
        if (*used + n > cap_ || !fits(n + 1)) {
            put("...", 3);
            truncated_ = true;
            return false;
        }
        put(escape, n);
        *used += n;
        return true;
    }

    // The length of the valid UTF-8 sequence at c, or 0.
    static size_t utf8_sequence(const unsigned char* c) {
        if (*c < 0x80) return 1;
        size_t n = 0;
        uint32_t point = 0;
        if ((*c & 0xe0) == 0xc0) {
            n = 2;
            point = *c & 0x1fu;
        } else if ((*c & 0xf0) == 0xe0) {
            n = 3;
            point = *c & 0x0fu;
        } else if ((*c & 0xf8) == 0xf0) {
            n = 4;
            point = *c & 0x07u;
        } else {
            return 0;
        }
        for (size_t i = 1; i < n; ++i) {
            if ((c[i] & 0xc0) != 0x80) return 0;
            point = (point << 6) | (c[i] & 0x3fu);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < least[n] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return 0;
        return n;
    }

    void put_capped(const char* value) {
        size_t n = strlen(value);
        if (n > cap_ || !fits(n)) {
            size_t room = limit_ > length_ + 3 ? limit_ - length_ - 3 : 0;
            size_t keep = n < cap_ ? n : cap_;
            if (keep > room) keep = room;
            put(value, keep);
            put("...", 3);
            truncated_ = true;
            return;
        }
        put(value, n);
    }

    [[nodiscard]] bool fits(size_t n) const { return length_ + n + 3 <= limit_; }

    LogFormat format_;
    char* out_;
    size_t size_;
    size_t cap_;
    size_t limit_ = k_log_line_max - k_line_reserve;
    size_t length_ = 0;
    int fields_ = 0;
    bool truncated_ = false;
};

// UTC to the millisecond: 2026-12-10T04:50:01.123Z.
void format_time(const timespec& time, char* out, size_t size) {
    tm parts;
    gmtime_r(&time.tv_sec, &parts);
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour, parts.tm_min, parts.tm_sec, time.tv_nsec / 1000000);
}

const char* name_of_error(int error) {
    switch (error) {
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case ENOSYS: return "ENOSYS";
    case ENOSPC: return "ENOSPC";
    case EFAULT: return "EFAULT";
    case ENOENT: return "ENOENT";
    case ELOOP: return "ELOOP";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    case ESRCH: return "ESRCH";
    case EBADF: return "EBADF";
    case ECONNREFUSED: return "ECONNREFUSED";
    case 0: return "dropped";
    default: return nullptr;
    }
}

const char* name_of_stage(int stage) {
    switch (stage) {
    case STAGE_LEXICAL: return "lexical";
    case STAGE_CANONICAL: return "canonical";
    case STAGE_FOLLOWED: return "followed";
    case k_stage_descriptor: return "descriptor";
    case k_stage_interpreter: return "interpreter";
    default: return "";
    }
}

// "A|B|C" of the bits of value that names knows, and the rest in hex.
struct FlagName {
    uint64_t bits;
    const char* name;
};

void join_flags(uint64_t value, const FlagName* names, size_t count, char* out, size_t size) {
    size_t at = 0;
    out[0] = 0;
    for (size_t i = 0; i < count; ++i) {
        if ((value & names[i].bits) != names[i].bits || names[i].bits == 0) continue;
        at += static_cast<size_t>(snprintf(out + at, size - at, "%s%s", at > 0 ? "|" : "", names[i].name));
        value &= ~names[i].bits;
        if (at >= size) return;
    }
    if (value != 0)
        snprintf(out + at, size - at, "%s0x%llx", at > 0 ? "|" : "", static_cast<unsigned long long>(value));
}

void show_flags(FlagKind kind, uint64_t flags, char* out, size_t size) {
    out[0] = 0;
    switch (kind) {
    case FlagKind::none: return;
    case FlagKind::open: {
        static const FlagName names[] = {
            {O_TMPFILE, "O_TMPFILE"},   {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},
            {O_NOCTTY, "O_NOCTTY"},     {O_TRUNC, "O_TRUNC"},         {O_APPEND, "O_APPEND"},
            {O_NONBLOCK, "O_NONBLOCK"}, {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
            {O_CLOEXEC, "O_CLOEXEC"},   {O_PATH, "O_PATH"},           {O_SYNC, "O_SYNC"},
        };
        const uint64_t mode = flags & O_ACCMODE;
        const char* access = mode == O_WRONLY ? "O_WRONLY" : mode == O_RDWR ? "O_RDWR" : "O_RDONLY";
        char rest[160];
        join_flags(flags & ~static_cast<uint64_t>(O_ACCMODE), names, sizeof(names) / sizeof(names[0]), rest,
                   sizeof(rest));
        snprintf(out, size, "%s%s%s", access, rest[0] != 0 ? "|" : "", rest);
        return;
    }
    case FlagKind::access_mode: {
        static const FlagName names[] = {{R_OK, "R_OK"}, {W_OK, "W_OK"}, {X_OK, "X_OK"}};
        if (flags == F_OK) {
            snprintf(out, size, "F_OK");
            return;
        }
        join_flags(flags, names, sizeof(names) / sizeof(names[0]), out, size);
        return;
    }
    case FlagKind::at: {
        static const FlagName names[] = {
            {AT_SYMLINK_NOFOLLOW, "AT_SYMLINK_NOFOLLOW"},
            {AT_SYMLINK_FOLLOW, "AT_SYMLINK_FOLLOW"},
            {AT_EMPTY_PATH, "AT_EMPTY_PATH"},
            {AT_REMOVEDIR, "AT_REMOVEDIR"},
            {AT_EACCESS, "AT_EACCESS"},
            {AT_NO_AUTOMOUNT, "AT_NO_AUTOMOUNT"},
        };
        if (flags == 0) return;
        join_flags(flags, names, sizeof(names) / sizeof(names[0]), out, size);
        return;
    }
    }
}

struct RuleWords {
    const char* rule;
    const char* why;
};

// The sentences of the rules that are not the policy's.
constexpr RuleWords k_rule_words[] = {
    {"refused_call", "the sandbox refuses this call in every policy: it would reach past the supervisor"},
    {"outside_tree", "the call acts on a process outside the sandbox tree"},
    {"process_limit", "a limit of a process outside the sandbox tree, or a core size above 0"},
    {"core_limit", "a core size above 0 would let a crash write a file no rule judges"},
    {"not_tree_object", "an inter-process object that the sandbox tree did not make"},
    {"objects_full", "the record of the inter-process objects the tree made is full"},
    {"resolve_in_root", "RESOLVE_IN_ROOT would make the path name another file than it says"},
    {"device_node", "making device nodes is refused"},
    {"empty_path", "an empty path names no file"},
    {"bad_descriptor", "not a descriptor of the caller"},
    {"unhandled", "no row of the call table judges this call number"},
    {"nest_unknown", "which sandboxes inside the tree judge the caller could not be read"},
    {"refused", "refused by its check"},
};

}  // namespace

void describe_refusal(const Policy* policy, const Refusal& refusal, char* out, size_t size) {
    switch (refusal.kind) {
    case RefusalKind::path: {
        VerdictText text;
        const PathForm form = refusal.stage == STAGE_LEXICAL ? PathForm::as_written : PathForm::resolved;
        describe_path_verdict(policy, refusal.verdict, form, refusal.judged, &text);
        snprintf(out, size, "%s", text.reason);
        return;
    }
    case RefusalKind::unresolved:
        snprintf(out, size, "cannot be resolved within the kernel's limits (40 links, 4095 bytes)");
        return;
    case RefusalKind::socket: {
        VerdictText text;
        describe_socket_verdict(policy, refusal.socket, refusal.written, &text);
        snprintf(out, size, "%s", text.reason);
        return;
    }
    case RefusalKind::unreadable:
        snprintf(out, size, "the caller, or what it names, could not be read: %s", strerror(refusal.error));
        return;
    case RefusalKind::other:
        for (const RuleWords& words : k_rule_words) {
            if (strcmp(words.rule, refusal.rule) == 0) {
                snprintf(out, size, "%s", words.why);
                return;
            }
        }
        snprintf(out, size, "%s", refusal.rule);
        return;
    }
}

size_t format_refusal_line(LogFormat format, const Policy* policy, const LineContext& context, const Refusal& refusal,
                           char* out, size_t size) {
    char time_text[64];
    format_time(context.time, time_text, sizeof(time_text));
    char flags[256];
    show_flags(context.flag_kind, context.flags, flags, sizeof(flags));
    VerdictText text;
    text.rule = refusal.rule;
    text.entry[0] = 0;
    if (refusal.kind == RefusalKind::path) {
        const PathForm form = refusal.stage == STAGE_LEXICAL ? PathForm::as_written : PathForm::resolved;
        describe_path_verdict(policy, refusal.verdict, form, refusal.judged, &text);
    } else if (refusal.kind == RefusalKind::socket) {
        describe_socket_verdict(policy, refusal.socket, refusal.written, &text);
    } else if (refusal.kind == RefusalKind::unresolved) {
        text.rule = "unresolved";
    } else if (refusal.kind == RefusalKind::unreadable) {
        text.rule = "unreadable";
    }
    char why[k_reason_text_size];
    describe_refusal(policy, refusal, why, sizeof(why));
    const char* error = name_of_error(context.answer);
    char error_number[16];
    if (error == nullptr) {
        snprintf(error_number, sizeof(error_number), "%d", context.answer);
        error = error_number;
    }
    const bool is_path = refusal.kind == RefusalKind::path || refusal.kind == RefusalKind::unresolved ||
                         refusal.kind == RefusalKind::unreadable;

    // A line that does not fit is written again with every long field cut
    // to an equal share of what is left.
    size_t cap = k_log_line_max;
    for (int attempt = 0; attempt < 2; ++attempt) {
        LineWriter line(format, out, size, cap);
        line.text("time", time_text);
        line.text("event", refusal.lifted ? "would-refuse" : "refused");
        line.number("pid", context.pid);
        line.text("comm", context.comm);
        line.text("call", context.call);
        if (is_path && refusal.access != 0) line.text("access", name_of_access(refusal.access));
        if (is_path && flags[0] != 0) line.text("flags", flags);
        if (is_path && refusal.written[0] != 0) line.text("path", refusal.written);
        if (refusal.judged[0] != 0) line.text("judged", refusal.judged);
        if (refusal.stage >= 0) line.text("stage", name_of_stage(refusal.stage));
        if (refusal.program[0] != 0) line.text("program", refusal.program);
        if (refusal.stage == k_stage_descriptor && refusal.fd >= 0) line.number("fd", refusal.fd);
        if (refusal.kind == RefusalKind::socket) {
            line.text("address", refusal.written);
            if (refusal.socket.port > 0) line.number("port", refusal.socket.port);
        }
        if (refusal.target >= 0) line.number("target", refusal.target);
        line.text("rule", text.rule);
        if (text.entry[0] != 0) line.text("entry", text.entry);
        line.text("why", why);
        line.text("answer", error);
        if (!line.truncated() || attempt == 1) return line.finish();
        cap = (k_log_line_max - 512) / 6;
    }
    return 0;
}

size_t format_start_line(LogFormat format, const timespec& time, bool audit, const char* command,
                         const char* policy_blob, char* out, size_t size) {
    char time_text[64];
    format_time(time, time_text, sizeof(time_text));
    LineWriter line(format, out, size, k_log_line_max);
    line.text("time", time_text);
    line.text("event", "start");
    line.text("version", SANDBOX_VERSION);
    line.text("mode", audit ? "audit" : "enforce");
    line.text("command", command);
    line.text("policy", policy_blob);
    return line.finish();
}

size_t format_end_line(LogFormat format, const timespec& time, const RefusalLog& log, char* out, size_t size) {
    char time_text[64];
    format_time(time, time_text, sizeof(time_text));
    LineWriter line(format, out, size, k_log_line_max);
    line.text("time", time_text);
    line.text("event", "end");
    line.number("refused", static_cast<long>(log.refused.load()));
    line.number("would_refuse", static_cast<long>(log.would_refuse.load()));
    line.number("dropped", static_cast<long>(log.dropped.load()));
    return line.finish();
}

void write_log_line(RefusalLog* log, const char* line, size_t length) {
    ssize_t put;
    do {
        put = log->is_socket ? send(log->fd, line, length, MSG_DONTWAIT | MSG_NOSIGNAL) : write(log->fd, line, length);
    } while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(length)) ++log->dropped;
}

void log_call_refusals(RefusalLog* log, const Policy* policy, pid_t pid, const char* call, int answer,
                       const CallRefusals& refusals) {
    char comm[32];
    char name[64];
    snprintf(name, sizeof(name), "/proc/%d/comm", pid);
    if (read_small_file(name, comm, sizeof(comm)) <= 0) snprintf(comm, sizeof(comm), "?");
    comm[strcspn(comm, "\n")] = 0;
    LineContext context = {{0, 0}, pid, comm, call, refusals.flag_kind, refusals.flags, answer};
    clock_gettime(CLOCK_REALTIME, &context.time);
    char line[k_log_line_max];
    for (uint8_t i = 0; i < refusals.count; ++i) {
        const Refusal& refusal = refusals.items[i];
        // A lifted refusal would have been answered as the path checks answer.
        context.answer = refusal.lifted ? EACCES : answer;
        if (refusal.lifted) {
            ++log->would_refuse;
        } else {
            ++log->refused;
        }
        write_log_line(log, line, format_refusal_line(log->format, policy, context, refusal, line, sizeof(line)));
    }
}
