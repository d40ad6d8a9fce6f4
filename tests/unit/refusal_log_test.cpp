#include "supervisor/refusal_log.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// hidden_root "/" and one deny entry, found by address as decode_policy
// leaves them.
struct LogPolicy {
    char root[2] = "/";
    char ssh[16] = "/home/u/.ssh";
    char* deny_items[1] = {ssh};
    Policy policy{};
    LogPolicy() {
        policy.hidden_root = root;
        policy.deny_tree = {deny_items, 1, 1};
        policy.deny_single = const_cast<char*>("");
    }
};

Refusal path_refusal(const char* written, const char* judged, RuleStep step, const char* entry, int stage) {
    Refusal r{};
    r.kind = RefusalKind::path;
    r.access = ACCESS_WRITE;
    r.stage = stage;
    r.verdict = {false, step, entry};
    r.fd = -1;
    r.target = -1;
    snprintf(r.written, sizeof(r.written), "%s", written);
    snprintf(r.judged, sizeof(r.judged), "%s", judged);
    return r;
}

std::string line_of(LogFormat format, const Policy& policy, const Refusal& refusal, FlagKind flag_kind = FlagKind::none,
                    uint64_t flags = 0, int answer = EACCES) {
    // 2026-12-10T04:50:01.123Z
    const LineContext context = {{1796878201, 123000000}, 4242, "touch", "openat", flag_kind, flags, answer};
    char out[k_log_line_max + 64];
    const size_t n = format_refusal_line(format, &policy, context, refusal, out, sizeof(out));
    return std::string(out, n);
}

// Each refusal as both formats write it, field for field.
TEST(RefusalLog, LinesInBothFormats) {
    LogPolicy p;
    struct Case {
        const char* name;
        Refusal refusal;
        FlagKind flag_kind;
        uint64_t flags;
        const char* text;
        const char* json;
    };
    Refusal socket{};
    socket.kind = RefusalKind::socket;
    socket.stage = -1;
    socket.fd = -1;
    socket.target = -1;
    socket.socket = {false, SOCKET_PORT_DEFAULT, TARGET_LOOPBACK, 8080, nullptr};
    snprintf(socket.written, sizeof(socket.written), "127.0.0.1");
    Refusal lifted = path_refusal("x", "/w/x", STEP_NOT_WRITABLE, nullptr, STAGE_CANONICAL);
    lifted.lifted = true;
    Refusal signal{};
    signal.kind = RefusalKind::other;
    signal.stage = -1;
    signal.fd = -1;
    signal.rule = "outside_tree";
    signal.target = 1;
    Refusal unreadable = path_refusal("", "", STEP_HIDDEN, nullptr, -1);
    unreadable.kind = RefusalKind::unreadable;
    unreadable.error = EFAULT;
    const Case cases[] = {
        {"hidden", path_refusal("hidden/f", "/tmp/s/hidden/f", STEP_HIDDEN, p.root, STAGE_LEXICAL), FlagKind::open,
         O_WRONLY | O_CREAT,
         "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat access=write "
         "flags=O_WRONLY|O_CREAT path=hidden/f judged=/tmp/s/hidden/f stage=lexical rule=hidden "
         "entry=\"hidden_root /\" why=\"hidden: inside hidden_root / and under no visible entry\" answer=EACCES\n",
         "{\"time\":\"2026-12-10T04:50:01.123Z\",\"event\":\"refused\",\"pid\":4242,\"comm\":\"touch\",\"call\":"
         "\"openat\",\"access\":\"write\",\"flags\":\"O_WRONLY|O_CREAT\",\"path\":\"hidden/f\",\"judged\":\"/tmp/s/"
         "hidden/f\",\"stage\":\"lexical\",\"rule\":\"hidden\",\"entry\":\"hidden_root /\",\"why\":\"hidden: inside "
         "hidden_root / and under no visible entry\",\"answer\":\"EACCES\"}\n"},
        {"denied, quoted",
         path_refusal("a \"b\"\n\xff\xc3\xa9", "/home/u/.ssh/k", STEP_DENY_TREE, p.ssh, STAGE_CANONICAL), FlagKind::at,
         AT_SYMLINK_NOFOLLOW,
         "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat access=write "
         "flags=AT_SYMLINK_NOFOLLOW path=\"a \\\"b\\\"\\n\\xff\\xc3\\xa9\" judged=/home/u/.ssh/k stage=canonical "
         "rule=deny entry=\"deny /home/u/.ssh\" why=\"denied by deny /home/u/.ssh\" answer=EACCES\n",
         "{\"time\":\"2026-12-10T04:50:01.123Z\",\"event\":\"refused\",\"pid\":4242,\"comm\":\"touch\",\"call\":"
         "\"openat\",\"access\":\"write\",\"flags\":\"AT_SYMLINK_NOFOLLOW\",\"path\":\"a \\\"b\\\"\\n\\u00ff\xc3\xa9\","
         "\"judged\":\"/home/u/.ssh/k\",\"stage\":\"canonical\",\"rule\":\"deny\",\"entry\":\"deny /home/u/.ssh\","
         "\"why\":\"denied by deny /home/u/.ssh\",\"answer\":\"EACCES\"}\n"},
        {"loopback port", socket, FlagKind::none, 0,
         "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat address=127.0.0.1 port=8080 "
         "rule=loopback_default entry=\"loopback_default deny\" why=\"127.0.0.1 is a loopback address, judged by "
         "port: 8080 is in neither list, so loopback_default deny decides\" answer=EACCES\n",
         nullptr},
        {"audited", lifted, FlagKind::none, 0,
         "time=2026-12-10T04:50:01.123Z event=would-refuse pid=4242 comm=touch call=openat access=write path=x "
         "judged=/w/x stage=canonical rule=not_writable why=\"under no write entry and matching no write_pattern\" "
         "answer=EACCES\n",
         nullptr},
        {"another process", signal, FlagKind::none, 0,
         "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat target=1 rule=outside_tree "
         "why=\"the call acts on a process outside the sandbox tree\" answer=EACCES\n",
         "{\"time\":\"2026-12-10T04:50:01.123Z\",\"event\":\"refused\",\"pid\":4242,\"comm\":\"touch\",\"call\":"
         "\"openat\",\"target\":1,\"rule\":\"outside_tree\",\"why\":\"the call acts on a process outside the sandbox "
         "tree\",\"answer\":\"EACCES\"}\n"},
        {"unreadable", unreadable, FlagKind::none, 0,
         "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat access=write rule=unreadable "
         "why=\"the caller, or what it names, could not be read: Bad address\" answer=EACCES\n",
         nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(line_of(LogFormat::text, p.policy, c.refusal, c.flag_kind, c.flags), c.text) << c.name;
        if (c.json != nullptr) {
            EXPECT_EQ(line_of(LogFormat::json, p.policy, c.refusal, c.flag_kind, c.flags), c.json) << c.name;
        }
    }
}

// A line never passes the size a pipe writes whole: long paths are cut,
// never inside an escape, and the line says so.
TEST(RefusalLog, LongLinesAreCutToFit) {
    LogPolicy p;
    std::string long_path = "/" + std::string(3000, 'a') + "/" + std::string(1000, '"');
    Refusal r = path_refusal(long_path.c_str(), long_path.c_str(), STEP_HIDDEN, p.root, STAGE_CANONICAL);
    for (LogFormat format : {LogFormat::text, LogFormat::json}) {
        const std::string line = line_of(format, p.policy, r);
        EXPECT_LE(line.size(), k_log_line_max);
        EXPECT_EQ(line.back(), '\n');
        const std::string mark = format == LogFormat::text ? " truncated=1\n" : ",\"truncated\":true}\n";
        EXPECT_EQ(line.substr(line.size() - mark.size()), mark);
        // The answer survives the cut; so does every field's closing quote.
        EXPECT_NE(line.find(format == LogFormat::text ? "answer=EACCES" : "\"answer\":\"EACCES\""), std::string::npos);
        EXPECT_EQ(line.find("\\\\\""), std::string::npos);
    }
    // A short line is never marked.
    EXPECT_EQ(line_of(LogFormat::text, p.policy, path_refusal("a", "/a", STEP_HIDDEN, p.root, 0)).find("truncated"),
              std::string::npos);
}

// A log that would block drops the line and counts it; the run goes on.
TEST(RefusalLog, AFullPipeDropsLines) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    RefusalLog log = {fds[1], false, LogFormat::text, false, 0, 0, 0};
    const std::string line(1000, 'x');
    int written = 0;
    for (int i = 0; i < 1000; ++i) {
        write_log_line(&log, line.c_str(), line.size());
        if (log.dropped.load() == 0) ++written;
    }
    EXPECT_GT(log.dropped.load(), 0u);
    EXPECT_EQ(static_cast<uint64_t>(written) + log.dropped.load(), 1000u);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
