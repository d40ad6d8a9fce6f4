// sandbox-policy and the refusal log: reading its lines in both forms,
// learning rules from it, and explaining one of its events. The learned
// rules are checked with the library's own judgement: together with the
// base they must allow every refusal they were proposed for.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rules/socket_rules.h"
#include "support/run.h"
#include "tools/sandbox_policy/coarsen.h"
#include "tools/sandbox_policy/learn.h"
#include "tools/sandbox_policy/log_reader.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

// Paths below a top directory no machine has: the stages see no link and
// keep them as written.
const std::string k_top = "/nx-learn-test";

const char k_text_example[] =
    "time=2026-12-10T04:50:01.123Z event=refused pid=4242 comm=touch call=openat access=write "
    "flags=O_WRONLY|O_CREAT|O_NOCTTY|O_NONBLOCK path=hidden/f judged=/tmp/s/hidden/f stage=lexical rule=hidden "
    "entry=\"hidden_root /\" why=\"hidden: inside hidden_root / and under no visible entry\" answer=EACCES";

const char k_json_example[] =
    "{\"time\":\"2026-12-10T04:50:01.123Z\",\"event\":\"refused\",\"pid\":4242,\"comm\":\"touch\","
    "\"call\":\"openat\",\"access\":\"write\",\"flags\":\"O_WRONLY|O_CREAT\",\"path\":\"hidden/f\","
    "\"judged\":\"/tmp/s/hidden/f\",\"stage\":\"lexical\",\"rule\":\"hidden\",\"entry\":\"hidden_root /\","
    "\"why\":\"hidden: inside hidden_root / and under no visible entry\",\"answer\":\"EACCES\"}";

LogEvent parsed(const std::string& line) {
    LogEvent event;
    std::string error;
    EXPECT_TRUE(parse_log_line(line, &event, &error)) << line << ": " << error;
    return event;
}

std::string number_text(const std::optional<int64_t>& number) {
    return number.has_value() ? std::to_string(*number) : "<absent>";
}

// Any field by its log name, numbers in decimal.
std::string field_of(const LogEvent& event, const std::string& name) {
    if (name == "pid") return number_text(event.pid);
    if (name == "port") return number_text(event.port);
    if (name == "target") return number_text(event.target);
    if (name == "fd") return number_text(event.fd);
    if (name == "refused") return number_text(event.refused);
    if (name == "would_refuse") return number_text(event.would_refuse);
    if (name == "dropped") return number_text(event.dropped);
    if (name == "truncated") return event.truncated ? "1" : "0";
    const std::pair<const char*, const std::string*> texts[] = {
        {"time", &event.time},     {"event", &event.event},     {"version", &event.version},
        {"mode", &event.mode},     {"command", &event.command}, {"policy", &event.policy},
        {"comm", &event.comm},     {"call", &event.call},       {"access", &event.access},
        {"flags", &event.flags},   {"path", &event.path},       {"judged", &event.judged},
        {"stage", &event.stage},   {"program", &event.program}, {"address", &event.address},
        {"rule", &event.rule},     {"entry", &event.entry},     {"why", &event.why},
        {"answer", &event.answer},
    };
    for (const auto& [key, text] : texts) {
        if (name == key) return *text;
    }
    return "<no such field>";
}

TEST(LogLine, ReadsTheWritersExamples) {
    for (const char* line : {k_text_example, k_json_example}) {
        LogEvent event = parsed(line);
        EXPECT_EQ(event.kind, LogEventKind::refused) << line;
        EXPECT_EQ(event.time, "2026-12-10T04:50:01.123Z");
        EXPECT_EQ(event.pid, 4242);
        EXPECT_EQ(event.comm, "touch");
        EXPECT_EQ(event.access, "write");
        EXPECT_EQ(event.path, "hidden/f");
        EXPECT_EQ(event.judged, "/tmp/s/hidden/f");
        EXPECT_EQ(event.entry, "hidden_root /");
        EXPECT_EQ(event.why, "hidden: inside hidden_root / and under no visible entry");
        EXPECT_EQ(event.answer, "EACCES");
        EXPECT_FALSE(event.truncated);
        EXPECT_FALSE(event.port.has_value());
    }
    EXPECT_EQ(parsed(k_text_example).flags, "O_WRONLY|O_CREAT|O_NOCTTY|O_NONBLOCK");
}

TEST(LogLine, FieldsInBothForms) {
    const std::string head = "time=t event=would-refuse ";
    const std::string json = "{\"time\":\"t\",\"event\":\"would-refuse\",";
    struct Row {
        std::string line;
        const char* field;
        std::string value;
    };
    const Row rows[] = {
        {head + "path=\"a b\"", "path", "a b"},
        {head + "path=\"q\\\"uote\"", "path", "q\"uote"},
        {head + "path=\"back\\\\slash\"", "path", "back\\slash"},
        {head + "path=\"nl\\nx\"", "path", "nl\nx"},
        {head + "path=\"tab\\tx\"", "path", "tab\tx"},
        {head + "path=\"\\xc3\\xA9t\\xe9\"", "path", "\xc3\xa9t\xe9"},
        {head + "path=\"\\x7f\\x01\"", "path", "\x7f\x01"},
        {head + "path=\"\"", "path", ""},
        {head + "pid=4242 port=5432 fd=3", "port", "5432"},
        {head + "target=-1", "target", "-1"},
        {head + "path=/a/b... truncated=1", "truncated", "1"},
        {head + "newer_field=x path=/a", "path", "/a"},
        {"time=t event=start version=0.1.0 mode=audit command=make policy=UgAvAA==", "policy", "UgAvAA=="},
        {"time=t event=end refused=3 would_refuse=5 dropped=0", "would_refuse", "5"},
        {json + "\"path\":\"a\\\"b\\\\c\\/d\"}", "path", "a\"b\\c/d"},
        {json + "\"path\":\"\\u00e9\\u0080\"}", "path", "\xe9\x80"},
        {json + "\"path\":\"\xc3\xa9\"}", "path", "\xc3\xa9"},
        {json + "\"path\":\"\\u0101\"}", "path", "\xc4\x81"},
        {json + "\"path\":\"\\ud83d\\ude00\"}", "path", "\xf0\x9f\x98\x80"},
        {json + "\"path\":\"\\u001b\\n\\t\\r\\b\\f\"}", "path", "\x1b\n\t\r\b\f"},
        {json + "\"pid\":4242,\"port\":-7}", "port", "-7"},
        {json + "\"path\":\"/a/b...\",\"truncated\":true}", "truncated", "1"},
        {json + "\"entry\":null,\"path\":\"/x\"}", "entry", ""},
        {"  { \"time\" : \"t\" , \"event\" : \"end\" , \"dropped\" : 2 }  ", "dropped", "2"},
        {"{\"time\":\"t\",\"event\":\"end\"}", "event", "end"},
    };
    for (const Row& row : rows) {
        LogEvent event = parsed(row.line);
        EXPECT_EQ(field_of(event, row.field), row.value) << row.line;
    }
    EXPECT_EQ(parsed(head + "path=x").kind, LogEventKind::would_refuse);
    EXPECT_EQ(parsed("time=t event=start").kind, LogEventKind::start);
    EXPECT_EQ(parsed("time=t event=end").kind, LogEventKind::end);
    EXPECT_EQ(parsed("time=t event=something-new").kind, LogEventKind::other);
}

TEST(LogLine, MalformedLinesSayWhy) {
    const std::string json = "{\"time\":\"t\",\"event\":\"refused\",";
    struct Row {
        std::string line;
        const char* error;
    };
    const Row rows[] = {
        {"", "an empty line"},
        {"time=t event", "expected '=' after event"},
        {"time=t  event=x", "expected a field name"},
        {"time=t event=x ", "a space at the end"},
        {"time=t event=x path=\"abc", "no closing quote"},
        {"time=t event=x path=\"a\\qb\"", "unknown escape \\q"},
        {"time=t event=x path=\"a\\x4\"", "two hex digits"},
        {"time=t event=x path=\"a\\", "lone backslash"},
        {"time=t event=x path=\"\\x00\"", "NUL"},
        {"time=t event=x path=a\"b", "byte 0x22 in the unquoted value of path"},
        {"time=t event=x path=", "path has no value"},
        {"time=t event=x path=\"\xc3\xa9\"", "byte 0xc3"},
        {"time=t event=x path=\"a\tb\"", "byte 0x09"},
        {"Time=t", "expected a field name"},
        {"event=x", "no time field"},
        {"time=t", "no event field"},
        {"time=t event=x event=y", "event is given twice"},
        {"time=t event=refused pid=12ab", "pid is \"12ab\", not a whole number"},
        {"time=t event=refused port=99999999999999999999", "not a whole number"},
        {"time=t event=refused truncated=yes", "not 1 or true"},
        {json + "\"pid\":\"4242\"}", "pid is a string, not a whole number"},
        {json + "\"path\":7}", "path is a number, not a string"},
        {json + "\"path\":true}", "path is true or false, not a string"},
        {json + "\"pid\":1.5}", "not a whole number"},
        {json + "\"pid\":-}", "a sign without digits"},
        {json + "\"path\":\"abc", "cut short"},
        {"{\"time\":\"t\",\"event\":\"refused\"", "cut short"},
        {"{\"time\":\"t\",\"event\":\"x\"} x", "text after the object"},
        {json + "\"a\":{}}", "nested"},
        {json + "\"a\":[1]}", "nested"},
        {json + "\"path\":\"\\ud800\"}", "a high surrogate without a low one"},
        {json + "\"path\":\"\\ud800\\u0041\"}", "a high surrogate without a low one"},
        {json + "\"path\":\"\\udc00\"}", "a low surrogate"},
        {json + "\"path\":\"\\u0000\"}", "NUL"},
        {json + "\"path\":\"\\u12\"}", "four hex digits"},
        {json + "\"path\":\"a\tb\"}", "unescaped control byte 0x09"},
        {json + "\"path\":\"\\q\"}", "unknown escape \\q"},
        {json + "\"path\" \"x\"}", "expected ':'"},
        {json + "\"path\":bare}", "expected a value for path"},
        {"{time:\"t\"}", "field name in double quotes"},
        {"{\"time\":\"t\"}", "no event field"},
    };
    for (const Row& row : rows) {
        LogEvent event;
        std::string error;
        EXPECT_FALSE(parse_log_line(row.line, &event, &error)) << row.line;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.line << ": " << error;
    }
    // A line cut anywhere short of its end: every prefix of an object, and
    // every cut inside a quoted value of the text form.
    const std::string object = k_json_example;
    for (size_t length = 1; length < object.size(); ++length) {
        LogEvent event;
        std::string error;
        EXPECT_FALSE(parse_log_line(object.substr(0, length), &event, &error)) << length;
    }
    const std::string text = k_text_example;
    for (size_t length = text.find("why=\"") + 5; length + 1 < text.find(" answer="); ++length) {
        LogEvent event;
        std::string error;
        EXPECT_FALSE(parse_log_line(text.substr(0, length), &event, &error)) << length;
        EXPECT_NE(error.find("no closing quote"), std::string::npos) << error;
    }
}

TEST(LogFile, RunsFollowTheirStartAndBadLinesAreSkipped) {
    const std::string text = std::string("time=t1 event=start mode=audit policy=UgAvAA==\n") + k_text_example +
                             "\n\n"
                             "garbage\n"
                             "time=t2 event=end refused=1 would_refuse=0 dropped=0\r\n"
                             "{\"time\":\"t3\",\"event\":\"start\",\"policy\":\"RQAvdXNyAA==\"}\r\n" +
                             k_json_example + "\n" + std::string(k_json_example).substr(0, 40);
    LogFile log;
    read_log_text(text, &log);
    ASSERT_EQ(log.events.size(), 5u);
    EXPECT_EQ(log.lines, 7u);
    ASSERT_EQ(log.problems.size(), 2u);
    EXPECT_EQ(log.problems[0].line, 4);
    EXPECT_EQ(log.problems[1].line, 8);
    EXPECT_EQ(log.events[1].line, 2);
    EXPECT_EQ(log.events[2].time, "t2");  // the carriage return is gone
    EXPECT_EQ(find_run_start(log.events, 1)->policy, "UgAvAA==");
    EXPECT_EQ(find_run_start(log.events, 4)->policy, "RQAvdXNyAA==");
    EXPECT_EQ(find_run_start(log.events, 4)->line, 6);
    EXPECT_TRUE(is_refusal(log.events[4]));
    EXPECT_FALSE(is_refusal(log.events[3]));
    EXPECT_EQ(find_run_start({parsed(k_text_example)}, 0), nullptr);
}

TEST(Coarsen, DirectoriesAtTheThreshold) {
    const std::string home = k_top + "/home/u";
    const std::string lib = k_top + "/opt/tool/lib";
    auto files = [](const std::string& dir, int count) {
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i) out.push_back(dir + "/f" + std::to_string(i));
        return out;
    };
    auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* what;
        std::vector<std::string> leaves;
        std::vector<std::string> protected_entries;
        std::vector<std::string> groups;
    };
    const std::string tree = k_top + "/src";
    const Case cases[] = {
        {"below the threshold", files(lib, 3), {}, files(lib, 3)},
        {"at the threshold", files(lib, 4), {}, {lib}},
        {"the same path twice counts once", join(files(lib, 3), {lib + "/f0"}), {}, files(lib, 3)},
        {"upward, repeatedly",
         join(join(files(tree + "/a", 4), files(tree + "/b", 4)), join(files(tree + "/c", 4), files(tree + "/d", 4))),
         {},
         {tree}},
        {"through directories of one entry",
         {tree + "/o1/sub/a", tree + "/o2/sub/b", tree + "/o3/sub/c", tree + "/o4/sub/d"},
         {},
         {tree}},
        {"three entries stay apart",
         {tree + "/o1/sub/a", tree + "/o2/sub/b", tree + "/o3/sub/c"},
         {},
         {tree + "/o1/sub/a", tree + "/o2/sub/b", tree + "/o3/sub/c"}},
        {"never to /", {"/f0", "/f1", "/f2", "/f3"}, {}, {"/f0", "/f1", "/f2", "/f3"}},
        {"never below / alone", files(k_top, 5), {}, files(k_top, 5)},
        {"never to the home directory", files(home, 5), {}, files(home, 5)},
        {"below the home directory", files(home + "/proj", 4), {}, {home + "/proj"}},
        {"never over a denial", files(lib, 5), {lib + "/keys/private"}, files(lib, 5)},
        {"a denial elsewhere", files(lib, 4), {k_top + "/opt/other"}, {lib}},
        {"covered paths fold in", {lib, lib + "/x/y", lib + "-2/z"}, {}, {lib, lib + "-2/z"}},
    };
    for (const Case& c : cases) {
        WideningLimits limits{home, c.protected_entries};
        std::vector<PathGroup> groups = coarsen_paths(c.leaves, limits);
        std::vector<std::string> paths;
        size_t members = 0;
        for (const PathGroup& group : groups) {
            paths.push_back(group.path);
            members += group.members.size();
        }
        std::vector<std::string> expected = c.groups;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(paths, expected) << c.what;
        EXPECT_EQ(members, c.leaves.size()) << c.what;  // every leaf in exactly one group
    }
    EXPECT_TRUE(is_broad_directory("/", home));
    EXPECT_TRUE(is_broad_directory("/usr", home));
    EXPECT_TRUE(is_broad_directory(home, home));
    EXPECT_FALSE(is_broad_directory("/usr/lib", home));
    EXPECT_EQ(parent_directory("/a/b/c"), "/a/b");
    EXPECT_EQ(parent_directory("/a"), "/");
}

// Log lines for the learning tests.
std::string start_line(const std::string& source) {
    SourceReader reader;
    read_source_text(&reader, source, "run", "/");
    EXPECT_TRUE(reader.problems.empty());
    return "time=t event=start version=0.1.0 mode=audit command=make policy=" + encode_rules(reader.rules) + "\n";
}

std::string value_text(const std::string& value) {
    return value.find(' ') == std::string::npos ? value : "\"" + value + "\"";
}

std::string path_line(const std::string& access, const std::string& judged, const std::string& rule,
                      const std::string& entry = "", const std::string& event = "would-refuse") {
    std::string line = "time=t event=" + event + " pid=7 comm=cc call=openat access=" + access + " path=" + judged +
                       " judged=" + judged + " stage=canonical rule=" + rule;
    if (!entry.empty()) line += " entry=" + value_text(entry);
    return line + " answer=EACCES\n";
}

std::string port_line(const std::string& address, int port, const std::string& rule, const std::string& entry) {
    return "time=t event=would-refuse pid=7 comm=cc call=connect address=" + address + " port=" + std::to_string(port) +
           " rule=" + rule + " entry=" + value_text(entry) + " answer=EACCES\n";
}

std::string hardening_line(const std::string& call, const std::string& rule, const std::string& why) {
    return "time=t event=refused pid=7 comm=cc call=" + call + " target=1 rule=" + rule + " why=" + value_text(why) +
           " answer=EPERM\n";
}

// The loader's directories, as named and as resolved, so that the learned
// policy lints clean.
std::string loader_rules() {
    const std::string loader = machine_loader();
    char named[PATH_MAX];
    char resolved[PATH_MAX];
    if (loader.empty() || realpath(loader.substr(0, loader.rfind('/')).c_str(), named) == nullptr ||
        realpath(loader.c_str(), resolved) == nullptr) {
        return "";
    }
    std::string dir = resolved;
    dir.resize(dir.rfind('/'));
    return "visible " + std::string(named) + "\n" + (dir != named ? "visible " + dir + "\n" : "");
}

struct LearnResult {
    Learned learned;
    std::string text;
    std::vector<Rule> rules;  // the output read back, base included
    Policy policy;
};

// Learns from the log with the base written to a scratch file (none when
// base is empty), then reads the output back as sandbox would.
LearnResult learn_log(const e2e::ScratchDir& scratch, const std::string& log, const std::string& base = "") {
    LearnResult out;
    LearnRequest request;
    LogFile file;
    read_log_text(log, &file);
    EXPECT_TRUE(file.problems.empty()) << file.problems[0].message;
    request.events = file.events;
    request.home = k_top + "/home/u";
    std::string base_name;
    if (!base.empty()) {
        base_name = scratch / "base.pol";
        e2e::write_file(base_name, base);
        SourceReader reader;
        read_source_file(&reader, base_name, "base");
        EXPECT_TRUE(reader.problems.empty());
        request.has_base = true;
        request.base = reader.rules;
    }
    out.learned = learn_rules(request);
    out.text = format_learned(out.learned, "test.log", base_name);
    const std::string learned_name = scratch / "learned.pol";
    e2e::write_file(learned_name, out.text);
    SourceReader strict;
    read_source_file(&strict, learned_name, "learned");
    EXPECT_TRUE(strict.problems.empty()) << strict.problems[0].message << "\n" << out.text;
    out.rules = strict.rules;
    EXPECT_EQ(decode_policy(encode_rules(out.rules).c_str(), &out.policy), PolicyError::none);
    SourceReader lenient;
    lenient.lenient = true;
    read_source_file(&lenient, learned_name, "learned");
    if (!base.empty()) {
        for (const Diagnostic& warning : lint_rules(lenient.rules)) {
            ADD_FAILURE() << "lint: " << warning.origin << ": " << warning.message << "\n" << out.text;
        }
    }
    return out;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// Every would-refuse event of the log with a rule a rule lifts, but those
// named in kept, is allowed by the output (the base included), judged on
// its judged path as written and as resolved.
void expect_allows_the_run(const LearnResult& result, const std::string& log,
                           const std::vector<std::string>& kept = {}) {
    LogFile file;
    read_log_text(log, &file);
    const SandboxTree tree = {getpid(), -1, 0};
    for (const LogEvent& event : file.events) {
        if (event.kind != LogEventKind::would_refuse || kind_of_logged_rule(event.rule) != RefusalKind::liftable) {
            continue;
        }
        if (std::find(kept.begin(), kept.end(), event.judged) != kept.end()) continue;
        if (event.port.has_value()) {
            unsigned char copy[k_sockaddr_copy];
            uint64_t length = 0;
            std::string error;
            ASSERT_TRUE(make_inet_destination(event.address, std::to_string(*event.port), copy, &length, &error));
            EXPECT_TRUE(judge_sockaddr(&result.policy, copy, length)) << event.address << "\n" << result.text;
            continue;
        }
        Access access = ACCESS_STAT;
        ASSERT_TRUE(access_by_name(event.access, &access));
        for (PathForm form : {PathForm::as_written, PathForm::resolved}) {
            RuleVerdict why{};
            EXPECT_TRUE(judge_single_path(&result.policy, event.judged.c_str(), access, tree, 0, form, &why))
                << event.access << " " << event.judged << " step " << why.step << "\n"
                << result.text;
        }
    }
}

TEST(Learn, ADirectoryAtTheThresholdAndNotBelow) {
    e2e::ScratchDir scratch;
    const std::string lib = k_top + "/opt/tool/lib";
    const std::string other = k_top + "/opt/other";
    std::string log = start_line("hidden_root /\n");
    for (const char* name : {"a.so", "b.so", "c.so", "d.so"}) log += path_line("read", lib + "/" + name, "hidden");
    log += path_line("exec", lib + "/a.so", "hidden");
    for (const char* name : {"x", "y", "z"}) log += path_line("read", other + "/" + name, "hidden");
    LearnResult result = learn_log(scratch, log, "hidden_root /\n" + loader_rules());
    EXPECT_TRUE(has_line(result.text, "# 5 calls on 4 paths: read, exec\nvisible " + lib)) << result.text;
    for (const char* name : {"x", "y", "z"}) {
        EXPECT_TRUE(has_line(result.text, "# 1 call: read\nvisible " + other + "/" + name)) << result.text;
    }
    EXPECT_FALSE(has_line(result.text, "visible " + other)) << result.text;
    expect_allows_the_run(result, log);
}

TEST(Learn, NeverOpensTheTopOrTheHomeDirectory) {
    e2e::ScratchDir scratch;
    const std::string home = k_top + "/home/u";
    std::string log = start_line("hidden_root /\n");
    for (int i = 0; i < 5; ++i) {
        log += path_line("read", k_top + "/f" + std::to_string(i), "hidden");
        log += path_line("read", home + "/.rc" + std::to_string(i), "hidden");
        log += path_line("write", home + "/.hist" + std::to_string(i), "hidden");
    }
    log += path_line("read", home, "hidden");
    log += path_line("read", k_top, "hidden");
    log += path_line("stat", home, "hidden");
    LearnResult result = learn_log(scratch, log, "hidden_root /\n" + loader_rules());
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(has_line(result.text, "visible " + k_top + "/f" + std::to_string(i))) << result.text;
        EXPECT_TRUE(has_line(result.text, "visible " + home + "/.rc" + std::to_string(i))) << result.text;
        // A file directly in the home directory is written by its own name.
        EXPECT_TRUE(has_line(result.text, "write " + home + "/.hist" + std::to_string(i))) << result.text;
    }
    for (const std::string& broad : {k_top, home, k_top + "/home", std::string("/")}) {
        EXPECT_FALSE(has_line(result.text, "visible " + broad)) << result.text;
        EXPECT_FALSE(has_line(result.text, "write " + broad)) << result.text;
    }
    // Metadata is shown path by path; a whole tree is left to the user.
    EXPECT_TRUE(has_line(result.text, "stat_allow " + home)) << result.text;
    EXPECT_NE(result.text.find("#   read " + home + ": visible " + home + " would show everything below it"),
              std::string::npos)
        << result.text;
    expect_allows_the_run(result, log, {home, k_top});
}

TEST(Learn, WritesTakeTheirDirectoryAndMetadataStaysExact) {
    e2e::ScratchDir scratch;
    const std::string proj = k_top + "/work/proj";
    const std::string config = k_top + "/work/config";
    std::string log = start_line("hidden_root /\nvisible " + proj + "\n");
    log += path_line("write", proj + "/build/a.o", "not_writable");
    log += path_line("delete", proj + "/build/b.o", "not_writable");
    log += path_line("write", k_top + "/scratch/out/log.txt", "hidden");
    for (int i = 0; i < 2; ++i) log += path_line("stat", k_top + "/work/few/" + std::to_string(i), "hidden");
    for (int i = 0; i < 5; ++i) log += path_line("stat", config + "/" + std::to_string(i), "hidden");
    LearnResult result = learn_log(scratch, log, "hidden_root /\nvisible " + proj + "\n" + loader_rules());
    EXPECT_TRUE(has_line(result.text, "# 2 calls on 2 paths: write, delete\nwrite " + proj + "/build")) << result.text;
    EXPECT_FALSE(has_line(result.text, "visible " + proj + "/build")) << result.text;
    EXPECT_TRUE(has_line(result.text, "visible " + k_top + "/scratch/out")) << result.text;
    EXPECT_TRUE(has_line(result.text, "write " + k_top + "/scratch/out")) << result.text;
    EXPECT_TRUE(has_line(result.text, "stat_allow " + k_top + "/work/few/0")) << result.text;
    EXPECT_TRUE(has_line(result.text, "stat_allow " + k_top + "/work/few/1")) << result.text;
    EXPECT_TRUE(has_line(result.text, "# 5 calls on 5 paths: stat\nvisible " + config)) << result.text;
    expect_allows_the_run(result, log);
}

TEST(Learn, DenialsAreNotProposed) {
    e2e::ScratchDir scratch;
    const std::string home = k_top + "/home/u";
    const std::string proj = home + "/proj";
    const std::string policy = "hidden_root /\nvisible " + home + "\nwrite " + proj + "\ndeny " + home +
                               "/.ssh\ndeny_exact " + home + "/.netrc\nwrite_deny " + proj +
                               "/keep\nloopback_deny 22\n" + loader_rules();
    std::string log = start_line(policy);
    log += path_line("read", home + "/.ssh/id_ed25519", "deny", "deny " + home + "/.ssh");
    log += path_line("read", home + "/.netrc", "deny_exact", "deny_exact " + home + "/.netrc");
    log += path_line("write", proj + "/keep/data", "write_deny", "write_deny " + proj + "/keep");
    log += path_line("delete", proj, "protected_below", "write_deny " + proj + "/keep");
    log += path_line("write", proj + "/.git/index", "git");
    log += port_line("127.0.0.1", 22, "loopback_deny", "loopback_deny 22");
    // A deny wins over what the base allows besides: never proposed, even
    // for four paths in one directory; those of one reason are one line.
    for (int i = 0; i < 4; ++i) {
        log += path_line("read", home + "/.ssh/key" + std::to_string(i), "deny", "deny " + home + "/.ssh");
    }
    LearnResult result = learn_log(scratch, log, policy);
    EXPECT_TRUE(result.learned.rules.empty()) << result.text;
    const std::string expected[] = {
        "#   read " + home + "/.ssh/id_ed25519 and 4 more: deny " + home + "/.ssh forbids it; remove deny " + home +
            "/.ssh to allow it",
        "#   read " + home + "/.netrc: deny_exact " + home + "/.netrc forbids it; remove deny_exact " + home +
            "/.netrc to allow it",
        "#   write " + proj + "/keep/data: write_deny " + proj + "/keep forbids it; remove write_deny " + proj +
            "/keep to allow it",
        "#   delete " + proj + ": deleting or renaming it would carry write_deny " + proj +
            "/keep out of its protection; remove write_deny " + proj + "/keep to allow it",
        "#   write " + proj + "/.git/index: a .git component outside every git_write entry; git_write " + proj +
            " lifts the .git protection",
        "#   connect 127.0.0.1 port 22: loopback_deny 22 forbids it; remove loopback_deny 22 to allow it",
    };
    EXPECT_NE(result.text.find("\n# not proposed:\n"), std::string::npos) << result.text;
    for (const std::string& line : expected) EXPECT_TRUE(has_line(result.text, line)) << line << "\n" << result.text;
    EXPECT_EQ(result.learned.not_proposed.size(), 10u);
}

TEST(Learn, LoopbackPortsAndWhatNoRuleCanAllow) {
    e2e::ScratchDir scratch;
    std::string log = start_line("hidden_root /\n");
    log += port_line("127.0.0.1", 5432, "loopback_default", "loopback_default deny");
    log += port_line("::1", 5432, "loopback_default", "loopback_default deny");
    log += port_line("127.0.0.1", 5432, "loopback_default", "loopback_default deny");
    log += port_line("127.0.0.1", 8080, "loopback_default", "loopback_default deny");
    log += hardening_line("ptrace", "process", "a process outside the sandbox tree");
    log += hardening_line("ptrace", "process", "a process outside the sandbox tree");
    log +=
        "time=t event=refused call=execveat access=exec path=/memfd:x judged=/memfd:x rule=exec_without_path "
        "why=\"a program no path names is never run\" answer=EACCES\n";
    log +=
        "time=t event=refused call=connect address=@bus rule=abstract why=\"abstract local socket names are "
        "refused\" answer=EACCES\n";
    log += path_line("write", "/proc/4242/mem", "process", "", "refused");
    LearnResult result = learn_log(scratch, log, "hidden_root /\n" + loader_rules());
    EXPECT_TRUE(has_line(result.text, "# 3 calls on 2 addresses: connect\nloopback_allow 5432")) << result.text;
    EXPECT_TRUE(has_line(result.text, "# 1 call: connect\nloopback_allow 8080")) << result.text;
    EXPECT_EQ(result.learned.rules.size(), 2u) << result.text;
    EXPECT_NE(result.text.find("\n# cannot be allowed by a rule:\n"
                               "#   ptrace target 1: a process outside the sandbox tree (process)\n"
                               "#   exec /memfd:x: a program no path names is never run (exec_without_path)\n"
                               "#   connect @bus: abstract local socket names are refused (abstract)\n"
                               "#   write /proc/4242/mem: process\n"),
              std::string::npos)
        << result.text;
    EXPECT_EQ(result.learned.calls, 9u);
    expect_allows_the_run(result, log);
}

TEST(Learn, TheBaseLeavesOutWhatItAllows) {
    e2e::ScratchDir scratch;
    const std::string tools = k_top + "/tools";
    const std::string out = k_top + "/out";
    const std::string base = "hidden_root /\nvisible " + tools + "\nwrite " + out + "\n" + loader_rules();
    // The run was under a narrower policy than the base.
    std::string log = start_line("hidden_root /\n");
    log += path_line("read", tools + "/bin/cc", "hidden");
    log += path_line("exec", tools + "/bin/cc", "hidden");
    log += path_line("write", out + "/a.o", "hidden");
    log += path_line("read", k_top + "/extra/data", "hidden");
    LearnResult result = learn_log(scratch, log, base);
    char base_name[PATH_MAX];
    ASSERT_NE(realpath((scratch / "base.pol").c_str(), base_name), nullptr);
    EXPECT_EQ(result.text.compare(0, strlen(base_name) + 9, "include " + std::string(base_name) + "\n"), 0)
        << result.text;
    EXPECT_EQ(result.learned.already_allowed, 2u);
    EXPECT_NE(result.text.find("# 2 of them the included policy allows already: left out.\n"), std::string::npos);
    EXPECT_FALSE(has_line(result.text, "visible " + tools + "/bin/cc")) << result.text;
    // The base's write entry is hidden: only its visibility is added.
    EXPECT_TRUE(has_line(result.text, "visible " + out)) << result.text;
    EXPECT_FALSE(has_line(result.text, "write " + out)) << result.text;
    EXPECT_TRUE(has_line(result.text, "visible " + k_top + "/extra/data")) << result.text;
    expect_allows_the_run(result, log);
}

// Without a base each refusal is judged by the policy of its own run, and
// the output adds to it.
TEST(Learn, EachRunByItsOwnPolicy) {
    e2e::ScratchDir scratch;
    const std::string shown = k_top + "/shown";
    const std::string run_one = "hidden_root /\nvisible " + shown + "\n";
    std::string log = start_line(run_one);
    log += path_line("write", shown + "/dir/x", "not_writable");
    log += start_line("hidden_root /\n");
    log += path_line("write", k_top + "/other/dir/y", "hidden");
    LearnResult result = learn_log(scratch, log);
    EXPECT_EQ(result.learned.runs, 2u);
    EXPECT_EQ(result.text.find("include"), std::string::npos);
    EXPECT_NE(result.text.find("Add these rules to the policy the command ran under."), std::string::npos);
    EXPECT_TRUE(has_line(result.text, "write " + shown + "/dir")) << result.text;
    EXPECT_FALSE(has_line(result.text, "visible " + shown + "/dir")) << result.text;
    EXPECT_TRUE(has_line(result.text, "visible " + k_top + "/other/dir")) << result.text;
    EXPECT_TRUE(has_line(result.text, "write " + k_top + "/other/dir")) << result.text;
}

TEST(Learn, OddPathsAreReportedNotProposed) {
    e2e::ScratchDir scratch;
    std::string log = start_line("hidden_root /\n");
    log += "time=t event=would-refuse call=openat access=read path=" + k_top + "/long/na... judged=" + k_top +
           "/long/na... rule=hidden truncated=1\n";
    log += "time=t event=would-refuse call=openat access=read path=\"" + k_top + "/a\\nb\" judged=\"" + k_top +
           "/a\\nb\" rule=hidden\n";
    log += "time=t event=would-refuse call=openat path=rel rule=hidden\n";
    log += "time=t event=would-refuse call=openat access=read path=/proc/self/fd/3 judged=\"" + k_top +
           "/gone (deleted)\" stage=descriptor rule=hidden\n";
    LearnResult result = learn_log(scratch, log, "hidden_root /\n" + loader_rules());
    EXPECT_TRUE(result.learned.rules.empty()) << result.text;
    EXPECT_TRUE(has_line(result.text, "#   read " + k_top + "/long/na...: the path was cut short in the log"))
        << result.text;
    EXPECT_TRUE(
        has_line(result.text, "#   read \"" + k_top + "/a\\x0ab\": the path cannot be written as policy source"))
        << result.text;
    EXPECT_TRUE(has_line(result.text, "#   openat rel: the log gives no absolute path and access class"))
        << result.text;
    EXPECT_TRUE(
        has_line(result.text, "#   read " + k_top + "/gone (deleted): a deleted file, reached through a descriptor"))
        << result.text;
}

Explanation explain_line(const std::string& source, const std::string& line) {
    SourceReader reader;
    read_source_text(&reader, source, "policy", "/");
    EXPECT_TRUE(reader.problems.empty());
    Policy policy;
    EXPECT_EQ(decode_policy(encode_rules(reader.rules).c_str(), &policy), PolicyError::none);
    Explanation out;
    explain_log_event(&policy, reader.rules, parsed(line.substr(0, line.find('\n'))), &out);
    return out;
}

TEST(ExplainLog, EachEventWithTheChangeThatAllowsIt) {
    const std::string proj = k_top + "/proj";
    const std::string policy = "hidden_root /\nvisible " + proj + "\ndeny " + proj + "/.env\n";
    struct Row {
        std::string line;
        const char* operation;
        std::string suggestion;
    };
    const Row rows[] = {
        {path_line("read", k_top + "/opt/lib/x.so", "hidden"), "read", "add visible " + k_top + "/opt/lib/x.so"},
        {path_line("stat", k_top + "/opt", "hidden"), "stat", "add stat_allow " + k_top + "/opt"},
        {path_line("write", proj + "/src/a.c", "not_writable"), "write", "add write " + proj + "/src"},
        {path_line("write", k_top + "/tmp/x/a", "hidden"), "write",
         "add visible " + k_top + "/tmp/x and write " + k_top + "/tmp/x"},
        {path_line("read", proj + "/.env", "deny", "deny " + proj + "/.env"), "read",
         "none: deny " + proj + "/.env forbids it; remove deny " + proj + "/.env to allow it"},
        {port_line("127.0.0.1", 5432, "loopback_default", "loopback_default deny"), "connect",
         "add loopback_allow 5432"},
        {"{\"time\":\"t\",\"event\":\"would-refuse\",\"call\":\"connect\",\"address\":\"::1\",\"port\":8080,"
         "\"rule\":\"loopback_default\"}",
         "connect", "add loopback_allow 8080"},
        {hardening_line("ptrace", "process", "a process outside the sandbox tree"), "ptrace",
         "none: no rule can allow it: a process outside the sandbox tree (process)"},
    };
    for (const Row& row : rows) {
        Explanation out = explain_line(policy, row.line);
        EXPECT_EQ(out.operation, row.operation) << row.line;
        EXPECT_FALSE(out.allowed) << row.line;
        EXPECT_FALSE(out.stages.empty()) << row.line;
        EXPECT_EQ(out.suggestion, row.suggestion) << row.line;
        EXPECT_NE(format_explanation(out).find("\nsuggestion: " + row.suggestion + "\n"), std::string::npos);
        EXPECT_EQ(format_explanation(out).find("logged: " + out.logged.substr(0, 6)), 0u);
    }
    // The judged path, not the one the caller wrote relative to its own
    // directory.
    Explanation relative =
        explain_line(policy, "time=t event=refused call=openat access=write path=src/b.c judged=" + proj +
                                 "/src/b.c rule=not_writable");
    EXPECT_EQ(relative.subject, proj + "/src/b.c");
    EXPECT_EQ(relative.stages.back().rule, "not_writable");
    const std::string json = format_explanation_json(relative);
    EXPECT_NE(json.find(",\"suggestion\":\"add write " + proj + "/src\","), std::string::npos) << json;
    EXPECT_EQ(explain_line(policy, hardening_line("ptrace", "process", "x")).answer, "EPERM");
    // A path the supervisor refused whatever the policy says is explained
    // in the log's words, not judged again as if the policy had decided.
    Explanation outside = explain_line(policy, "time=t event=refused call=openat access=read judged=" + proj +
                                                   "/src/a.c rule=unreadable why=\"the path could not be read\"");
    EXPECT_FALSE(outside.allowed);
    ASSERT_EQ(outside.stages.size(), 1u);
    EXPECT_EQ(outside.stages[0].rule, "unreadable");
    EXPECT_EQ(outside.operation, "read");
    EXPECT_EQ(outside.subject, proj + "/src/a.c");
    EXPECT_EQ(outside.suggestion, "none: no rule can allow it: the path could not be read (unreadable)");
    Explanation allowed = explain_line(policy, path_line("read", proj + "/src/a.c", "hidden"));
    EXPECT_TRUE(allowed.allowed);
    EXPECT_EQ(allowed.suggestion, "none: this policy allows it");
}

}  // namespace
