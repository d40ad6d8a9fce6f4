// Refusal log lines, written and read back.
//
// Input: the path as written, the path as judged and the command name,
// separated by NUL bytes (the caller chooses all three). Each refusal is
// written in both formats and must be one line of at most k_log_line_max
// bytes, with no byte a terminal acts on; sandbox-policy's reader must take
// it whole and give back every field as it was, unless the line says a
// path was cut to fit.
#include <string>

#include "fuzz_support.h"
#include "supervisor/refusal_log.h"
#include "tools/sandbox_policy/log_reader.h"

namespace {

Policy g_policy;

// The next field of the input, up to a NUL or its end, at most size - 1
// bytes.
std::string take_field(const uint8_t** data, size_t* size, size_t limit) {
    std::string out;
    while (*size > 0 && **data != 0) {
        if (out.size() + 1 < limit) out += static_cast<char>(**data);
        ++*data;
        --*size;
    }
    if (*size > 0) {
        ++*data;
        --*size;
    }
    return out;
}

void check_format(LogFormat format, const Refusal& refusal, const char* comm) {
    const LineContext context = {{1796878201, 123000000}, 4242, comm, "openat", FlagKind::open, 0101, EACCES};
    static char out[k_log_line_max + 64];
    const size_t n = format_refusal_line(format, &g_policy, context, refusal, out, sizeof(out));
    if (n == 0 || n > k_log_line_max || out[n - 1] != '\n') fuzz_fail("a line of %zu bytes, unended", n);
    for (size_t i = 0; i + 1 < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f) fuzz_fail("control byte 0x%02x at %zu", c, i);
        if (format == LogFormat::text && c >= 0x80) fuzz_fail("a text line holds byte 0x%02x", c);
    }
    LogEvent event;
    std::string error;
    if (!parse_log_line(std::string(out, n - 1), &event, &error)) {
        fuzz_fail("the reader refuses the line: %s: %.*s", error.c_str(), static_cast<int>(n), out);
    }
    if (event.kind != LogEventKind::refused || event.comm != comm) fuzz_fail("event or command name changed");
    if (event.truncated) return;
    if (event.path != refusal.written || event.judged != refusal.judged) {
        fuzz_fail("a path changed: %.*s", static_cast<int>(n), out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        g_policy.hidden_root = strdup("/");
        g_policy.deny_single = strdup("");
        ready = true;
    }
    Refusal refusal{};
    refusal.kind = RefusalKind::path;
    refusal.access = ACCESS_WRITE;
    refusal.stage = STAGE_LEXICAL;
    refusal.verdict = {false, STEP_HIDDEN, g_policy.hidden_root};
    refusal.fd = -1;
    refusal.target = -1;
    const std::string written = take_field(&data, &size, sizeof(refusal.written));
    const std::string judged = take_field(&data, &size, sizeof(refusal.judged));
    const std::string comm = take_field(&data, &size, 16);
    memcpy(refusal.written, written.c_str(), written.size() + 1);
    memcpy(refusal.judged, judged.c_str(), judged.size() + 1);
    check_format(LogFormat::text, refusal, comm.c_str());
    check_format(LogFormat::json, refusal, comm.c_str());
    return 0;
}
