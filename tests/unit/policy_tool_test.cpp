// sandbox-policy's functions: source and blob both ways, lint, explain and
// the presets, checked against the library's own decoding and rules.
#include "tools/sandbox_policy/policy_tool.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/exit_status.h"
#include "support/blob.h"
#include "support/run.h"
#include "unit/process_family.h"

namespace {

const char k_every_key[] =
    "hidden_root /home\n"
    "visible /usr\n"
    "stat_allow /home\n"
    "deny /home/u/.ssh\n"
    "deny_exact /etc/shadow\n"
    "deny_single /home/u/.netrc\n"
    "write /tmp/a dir with spaces\n"
    "write_pattern \\.log$\n"
    "write_deny /home/u/work/keep\n"
    "delete_deny /home/u/work/db\n"
    "git_write /home/u/work/repo\n"
    "loopback_allow 8080\n"
    "loopback_deny 22\n"
    "loopback_default allow\n"
    "hidden_answer ENOENT\n"
    "local_socket /run/user/1000/gnupg\n";

SourceReader read_text(const std::string& text, bool lenient = false) {
    SourceReader reader;
    reader.lenient = lenient;
    read_source_text(&reader, text, "test", "/base");
    return reader;
}

Policy policy_of(const std::string& blob) {
    Policy policy;
    EXPECT_EQ(decode_policy(blob.c_str(), &policy), PolicyError::none);
    return policy;
}

Policy policy_from_source(const std::string& text) {
    SourceReader reader = read_text(text);
    EXPECT_TRUE(reader.problems.empty());
    return policy_of(encode_rules(reader.rules));
}

std::vector<std::string> entries(const StringList& list) {
    return std::vector<std::string>(list.items, list.items + list.count);
}

void expect_same_policy(const Policy& a, const Policy& b) {
    EXPECT_STREQ(a.hidden_root, b.hidden_root);
    EXPECT_STREQ(a.deny_single, b.deny_single);
    EXPECT_EQ(a.loopback_default_allow, b.loopback_default_allow);
    StringList Policy::*lists[] = {&Policy::visible_tree, &Policy::stat_allow,        &Policy::deny_tree,
                                   &Policy::deny_exact,   &Policy::write_allow,       &Policy::write_patterns,
                                   &Policy::write_deny,   &Policy::delete_deny_exact, &Policy::git_write_allow};
    for (StringList Policy::*list : lists) EXPECT_EQ(entries(a.*list), entries(b.*list));
    for (PortList Policy::*ports : {&Policy::loopback_allow_ports, &Policy::loopback_deny_ports}) {
        EXPECT_EQ(std::vector<int>((a.*ports).ports, (a.*ports).ports + (a.*ports).count),
                  std::vector<int>((b.*ports).ports, (b.*ports).ports + (b.*ports).count));
    }
}

// Sets HOME for one test and puts the old value back.
class HomeOverride {
public:
    explicit HomeOverride(const std::string& home) {
        const char* old = getenv("HOME");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("HOME", home.c_str(), 1);
    }
    ~HomeOverride() {
        if (had_) {
            setenv("HOME", old_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }

private:
    bool had_ = false;
    std::string old_;
};

bool has_note(const std::vector<Diagnostic>& notes, const std::string& part) {
    for (const Diagnostic& note : notes) {
        if (note.message.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(PolicySource, EveryKeyRoundTrips) {
    SourceReader reader = read_text(std::string("# a comment\n\n  ") + k_every_key);
    ASSERT_TRUE(reader.problems.empty()) << reader.problems[0].message;
    ASSERT_EQ(reader.rules.size(), 16u);
    std::string blob = encode_rules(reader.rules);
    DecodedBlob decoded;
    decode_blob(blob.c_str(), &decoded);
    EXPECT_EQ(decoded.text, k_every_key);
    EXPECT_TRUE(decoded.notes.empty());
    EXPECT_EQ(encode_rules(read_text(decoded.text).rules), blob);
    // The same records as the tests' own encoder makes, joined first.
    EXPECT_EQ(make_blob({{"R", "/home"}, {"E", "/usr"}}),
              encode_rules(read_text("hidden_root /home\nvisible /usr").rules));
    Policy p = policy_of(blob);
    EXPECT_STREQ(p.hidden_root, "/home");
    EXPECT_EQ(entries(p.write_allow), std::vector<std::string>{"/tmp/a dir with spaces"});
    EXPECT_EQ(p.loopback_default_allow, 1);
    EXPECT_EQ(p.hidden_missing, 1);
}

TEST(PolicySource, ValuesAndErrors) {
    HomeOverride home("/home/tester");
    SourceReader reader = read_text("visible ~\r\ndeny\t ~/.ssh\nwrite /a/b  \nloopback_default deny\ndeny_single\n");
    ASSERT_TRUE(reader.problems.empty());
    EXPECT_EQ(reader.rules[0].value, "/home/tester");
    EXPECT_EQ(reader.rules[1].value, "/home/tester/.ssh");
    EXPECT_EQ(reader.rules[2].value, "/a/b  ");  // the rest of the line
    EXPECT_EQ(reader.rules[3].value, "0");
    EXPECT_EQ(reader.rules[4].value, "");
    EXPECT_EQ(reader.rules[4].origin, "test:5");
    const char* bad[] = {"visible usr",          "loopback_allow 0", "loopback_allow 65536", "loopback_deny 80x",
                         "loopback_default yes", "write_pattern (",  "frobnicate /x",        "include"};
    for (const char* line : bad) {
        EXPECT_EQ(read_text(line).problems.size(), 1u) << line;
        EXPECT_TRUE(read_text(line).rules.empty()) << line;
    }
    EXPECT_NE(read_text("visible usr").problems[0].message.find("relative path"), std::string::npos);
    // Lint reads relative paths to report them.
    EXPECT_EQ(read_text("visible usr", true).rules.size(), 1u);
    SourceReader options;
    add_rule(&options, "write_pattern", "^/tmp/x$", "--write-pattern", "/");
    EXPECT_EQ(options.rules.at(0).key, 'P');
}

TEST(PolicySource, IncludesAreRelativeAndCyclesAreFound) {
    e2e::ScratchDir scratch;
    mkdir((scratch / "sub").c_str(), 0755);
    e2e::write_file(scratch / "main.pol", "visible /usr\ninclude sub/more.pol\nwrite /tmp\n");
    e2e::write_file(scratch / "sub/more.pol", "visible /etc\ninclude ../leaf.pol\n");
    e2e::write_file(scratch / "leaf.pol", "visible /dev\n");
    SourceReader reader;
    read_source_file(&reader, scratch / "main.pol", "main");
    ASSERT_TRUE(reader.problems.empty()) << reader.problems[0].message;
    std::vector<std::string> values;
    for (const Rule& rule : reader.rules) values.push_back(rule.value);
    EXPECT_EQ(values, (std::vector<std::string>{"/usr", "/etc", "/dev", "/tmp"}));

    e2e::write_file(scratch / "leaf.pol", "include main.pol\n");
    SourceReader cycle;
    read_source_file(&cycle, scratch / "main.pol", "main");
    ASSERT_EQ(cycle.problems.size(), 1u);
    EXPECT_NE(cycle.problems[0].message.find("include cycle"), std::string::npos);
}

// Decoding the blobs of the project's tests gives source that reads back
// into the very policy decode_policy makes of the blob.
TEST(PolicyDecode, AgreesWithDecodePolicy) {
    std::vector<std::string> blobs = {
        "UgAvaG9tZQBXAC90bXAATAA4MDgwAA==",
        "UgAv aG9t\nZQA=",
        "UgAvaG9tZQ",
        "UgA",
        "=U=g=A=v=aG9tZQA=",
        "SAAxAA==SAAxAA==",
        "RQAvYmluAA==",
        "",
        "====",
        " \n\t-_!?",
        make_blob({{"R", "/one"}, {"S", "/x"}, {"R", "/two"}, {"S", ""}, {"H", "1"}, {"H", "0"}}),
        make_blob({{"RR", "/x"}, {"r", "/y"}, {"", "/z"}, {"Z", "/q"}, {"E", "/usr"}}),
        make_blob({{"L", "80abc"}, {"N", " 22"}, {"L", "+443"}, {"L", "65536"}, {"N", "-1"}, {"L", "4294967297"}}),
        make_blob({{"H", "true"}, {"H", "01"}}),
        base64_encode(std::string("E\0/usr\0W", 8)),
        base64_encode(std::string("E\0/usr\0W\0", 9)),
        base64_encode(std::string("E\0/usr\0W\0/tmp", 13)),
        make_blob({{"E", "/usr"},
                   {"E", "/etc"},
                   {"E", "/dev"},
                   {"E", "/home/u"},
                   {"E", "/mnt/c/tools"},
                   // clang-format off
                   {"M", "/home"}, {"M", "/secret"}, {"D", "/home/u/.ssh"}, {"D", "/proc"}, {"F", "/etc/shadow"},
                   {"S", "/home/u/.netrc"}, {"W", "/home/u/work"}, {"W", "/tmp"}, {"P", "\\.log$"},
                   // clang-format on
                   {"X", "/home/u/work/keep"},
                   {"A", "/home/u/work/db"},
                   {"G", "/home/u/work/repo"}}),
        make_blob({{"E", ""}, {"W", "rel"}, {"P", ""}}),
    };
    for (const std::string& blob : blobs) {
        SCOPED_TRACE(blob);
        DecodedBlob decoded;
        decode_blob(blob.c_str(), &decoded);
        expect_same_policy(policy_of(blob), policy_of(encode_rules(decoded.rules)));
        SourceReader reread = read_text(decoded.text, true);
        EXPECT_TRUE(reread.problems.empty());
        expect_same_policy(policy_of(blob), policy_of(encode_rules(reread.rules)));
    }
}

TEST(PolicyDecode, NotesForWhatSandboxIgnores) {
    struct Case {
        std::string blob;
        const char* note;
    };
    const Case cases[] = {
        {make_blob({{"r", "/y"}}), "lower-case"},
        {make_blob({{"Z", "/q"}}), "unknown key \"Z\""},
        {make_blob({{"RR", "/x"}}), "longer than one byte"},
        {make_blob({{"", "/z"}}), "an empty key"},
        {make_blob({{"L", "70000"}}), "not a port"},
        {make_blob({{"N", "0"}}), "not a port"},
        {make_blob({{"L", "80abc"}}), "\"80abc\" is read as 80"},
        {base64_encode(std::string("E\0/usr\0W", 8)), "the last key \"W\" has no value"},
        {make_blob({{"R", "/a"}, {"R", "/b"}}), "replaced by record 2, hidden_root \"/b\""},
        {make_blob({{"S", "/a"}, {"S", "/b"}}), "replaced by record 2, deny_single \"/b\""},
        {make_blob({{"H", "1"}, {"H", "0"}}), "replaced by record 2, loopback_default \"deny\""},
        {make_blob({{"H", "yes"}}), "read as deny"},
        {make_blob({{"Y", "yes"}}), "read as EACCES"},
        {"QUJDR", "6 leftover bits"},
        {"SAAxAA==SAAxAA==", "joined"},
        {base64_encode(std::string("W\0/tmp", 6)), "no NUL of its own"},
        {make_blob({{"E", "a\nb"}}), "cannot be written as source"},
    };
    for (const Case& c : cases) {
        DecodedBlob decoded;
        decode_blob(c.blob.c_str(), &decoded);
        EXPECT_TRUE(has_note(decoded.notes, c.note)) << c.note << "\n" << decoded.text;
    }
    DecodedBlob ports;
    decode_blob(make_blob({{"L", "80abc"}}).c_str(), &ports);
    EXPECT_EQ(ports.text, "# \"80abc\" is read as 80\nloopback_allow 80\n");
    DecodedBlob twice;
    decode_blob(make_blob({{"R", "/a"}, {"R", "/b"}}).c_str(), &twice);
    EXPECT_EQ(twice.text,
              "# replaced by record 2, hidden_root \"/b\": the last one wins\nhidden_root /a\nhidden_root /b\n");
    // Padding that only fills the last block is ordinary.
    DecodedBlob padded;
    decode_blob("UgAvaG9tZQA=", &padded);
    EXPECT_TRUE(padded.notes.empty());
}

TEST(PolicyDecode, BadPatternIsReportedAsSandboxRefusesIt) {
    DecodedBlob decoded;
    decode_blob(make_blob({{"P", "ok$"}, {"P", "a{1"}, {"P", "("}}).c_str(), &decoded);
    EXPECT_EQ(decoded.bad_pattern, "a{1");
    EXPECT_FALSE(decoded.pattern_message.empty());
    Policy policy;
    const std::string blob = make_blob({{"P", decoded.bad_pattern}});
    EXPECT_EQ(decode_policy(blob.c_str(), &policy), PolicyError::bad_pattern);
    EXPECT_EXIT(decode_policy_or_exit(blob.c_str(), &policy), ::testing::ExitedWithCode(EXIT_BAD_PATTERN), "");
}

// The rows of the rules' worked examples (path_rules_test.cpp), with the
// rule and the entry each one is decided by.
TEST(PolicyExplain, WorkedExamplesNameTheirRule) {
    Policy policy = policy_from_source(
        "hidden_root /\nvisible /usr\nvisible /etc\nvisible /dev\nvisible /home/u\nvisible /mnt/c/tools\n"
        "stat_allow /home\nstat_allow /secret\ndeny /home/u/.ssh\ndeny /proc\ndeny_exact /etc/shadow\n"
        "deny_single /home/u/.netrc\nwrite /home/u/work\nwrite /tmp\nwrite_pattern \\.log$\n"
        "write_deny /home/u/work/keep\ndelete_deny /home/u/work/db\ngit_write /home/u/work/repo\n");
    ProcessChain chain(2);
    ASSERT_EQ(chain.pids().size(), 2u);
    std::string member = "/proc/" + std::to_string(chain.at(1));
    std::string outsider = "/proc/" + std::to_string(getppid());
    struct Row {
        std::string path;
        Access access;
        int canonical;
        bool allowed;
        const char* rule;
        const char* entry;
    };
    const Row rows[] = {
        {member + "/status", ACCESS_READ, 1, 1, "process", ""},
        {member + "/fd/3", ACCESS_WRITE, 1, 1, "process", ""},
        {member + "/mem", ACCESS_WRITE, 1, 0, "process", ""},
        {member + "/task/311/fd/3", ACCESS_WRITE, 1, 0, "process", ""},
        {outsider + "/status", ACCESS_STAT, 1, 0, "process", ""},
        {"/proc/cpuinfo", ACCESS_READ, 1, 0, "deny", "deny /proc"},
        {"/etc/passwd", ACCESS_READ, 1, 1, "visible", "visible /etc"},
        {"/etc/shadow", ACCESS_READ, 0, 0, "deny_exact", "deny_exact /etc/shadow"},
        {"/var/lib/x", ACCESS_READ, 0, 1, "no_denial", ""},
        {"/var/lib/x", ACCESS_READ, 1, 0, "hidden", "hidden_root /"},
        {"/home", ACCESS_STAT, 1, 1, "stat_allow", "stat_allow /home"},
        {"/home", ACCESS_READ, 1, 0, "hidden", "hidden_root /"},
        {"/home/u/.ssh/id", ACCESS_READ, 0, 0, "deny", "deny /home/u/.ssh"},
        {"/home/u/.netrc", ACCESS_STAT, 1, 0, "deny_single", "deny_single /home/u/.netrc"},
        {"/home/u/work/a.txt", ACCESS_WRITE, 1, 1, "write", "write /home/u/work"},
        {"/home/u/notes.log", ACCESS_WRITE, 1, 1, "write_pattern", "write_pattern \\.log$"},
        {"/home/u/notes.txt", ACCESS_WRITE, 0, 1, "no_denial", ""},
        {"/home/u/notes.txt", ACCESS_WRITE, 1, 0, "not_writable", ""},
        {"/tmp/x", ACCESS_WRITE, 1, 0, "hidden", "hidden_root /"},
        {"/home/u/work/.git/config", ACCESS_WRITE, 1, 0, "git", ""},
        {"/home/u/work/.git/config", ACCESS_READ, 1, 1, "visible", "visible /home/u"},
        {"/home/u/work/repo/.GIT/index", ACCESS_WRITE, 1, 1, "write", "write /home/u/work"},
        {"/home/u/work/.gitignore", ACCESS_WRITE, 1, 1, "write", "write /home/u/work"},
        {"/home/u/work/keep/x", ACCESS_WRITE, 0, 0, "write_deny", "write_deny /home/u/work/keep"},
        {"/home/u/work/db", ACCESS_DELETE, 1, 0, "delete_deny", "delete_deny /home/u/work/db"},
        {"/home/u/work/db", ACCESS_WRITE, 1, 1, "write", "write /home/u/work"},
        {"/home/u/work/db/x", ACCESS_DELETE, 1, 1, "write", "write /home/u/work"},
        {"/home/u/work", ACCESS_DELETE, 1, 0, "protected_below", "write_deny /home/u/work/keep"},
        {"/dev/null", ACCESS_WRITE, 1, 1, "device", ""},
        {"/mnt/c/tools/a.exe", ACCESS_EXEC, 0, 0, "wsl", ""},
        {"/mnt/c/tools/run.Cmd", ACCESS_EXEC, 1, 0, "wsl", ""},
        {"/mnt/c/tools/a.sh", ACCESS_EXEC, 1, 1, "visible", "visible /mnt/c/tools"},
        {"/mnt/d/x", ACCESS_READ, 0, 1, "no_denial", ""},
        {"/mnt/d/x", ACCESS_READ, 1, 0, "wsl", ""},
        {"/init", ACCESS_EXEC, 0, 0, "wsl", ""},
        {"/init", ACCESS_READ, 1, 0, "wsl", ""},
        {"/run/WSL/x", ACCESS_EXEC, 0, 0, "wsl", ""},
        {"/usr/bin/ls", ACCESS_EXEC, 1, 1, "visible", "visible /usr"},
        {"/usr/bin/ls", ACCESS_WRITE, 0, 1, "no_denial", ""},
        {"/usr/bin/ls", ACCESS_WRITE, 1, 0, "not_writable", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + " access " + std::to_string(row.access) + (row.canonical ? " canonical" : " lexical"));
        RuleVerdict why{};
        const PathForm form = row.canonical ? PathForm::resolved : PathForm::as_written;
        const SandboxTree tree = {chain.at(0), -1, getpid()};
        EXPECT_EQ(judge_single_path(&policy, row.path.c_str(), row.access, tree, 0, form, &why), row.allowed);
        StageLine line;
        describe_verdict(&policy, why, form, row.path.c_str(), &line);
        EXPECT_EQ(line.rule, row.rule);
        EXPECT_EQ(line.entry, row.entry);
        EXPECT_FALSE(line.reason.empty());
        if (row.entry[0] != 0) {
            EXPECT_NE(line.reason.find(row.entry), std::string::npos) << line.reason;
        }
    }
}

TEST(PolicyExplain, StagesOfALinkOnAScratchTree) {
    e2e::ScratchDir scratch;
    std::string shown = scratch / "shown";
    mkdir(shown.c_str(), 0755);
    ASSERT_EQ(symlink((scratch / "secret").c_str(), (shown + "/link").c_str()), 0);
    Policy policy = policy_from_source("visible " + shown + "\nwrite " + shown + "\n");
    Explanation out;
    std::string error;
    ASSERT_TRUE(explain_path(&policy, ACCESS_WRITE, shown + "/./link", false, 0, &out, &error)) << error;
    ASSERT_EQ(out.stages.size(), 3u);
    EXPECT_EQ(out.stages[0].path, shown + "/link");
    EXPECT_EQ(out.stages[1].rule, "write");
    EXPECT_EQ(out.stages[2].stage, "followed");
    EXPECT_EQ(out.stages[2].path, scratch / "secret");
    EXPECT_EQ(out.stages[2].rule, "hidden");
    EXPECT_FALSE(out.allowed);
    std::string json = format_explanation_json(out);
    EXPECT_NE(json.find("\"final\":\"EACCES\""), std::string::npos);
    EXPECT_NE(format_explanation(out).find("result: EACCES"), std::string::npos);

    // Relative to the working directory; reading does not follow the link
    // unless asked.
    ASSERT_EQ(chdir(shown.c_str()), 0);
    ASSERT_TRUE(explain_path(&policy, ACCESS_STAT, "link", false, 0, &out, &error));
    EXPECT_EQ(out.stages.size(), 2u);
    EXPECT_TRUE(out.allowed);
    ASSERT_TRUE(explain_path(&policy, ACCESS_STAT, "link", true, 0, &out, &error));
    EXPECT_EQ(out.stages.size(), 3u);
    EXPECT_FALSE(out.allowed);
    ASSERT_EQ(chdir("/"), 0);
}

TEST(PolicyExplain, SocketDestinations) {
    Policy policy = policy_from_source("loopback_allow 8080\nloopback_deny 22\nloopback_deny 8080\n");
    struct Case {
        const char* address;
        const char* port;
        int allowed;
        const char* rule;
    };
    const Case cases[] = {
        // clang-format off
        {"127.0.0.1", "8080", 1, "loopback_allow"}, {"::1", "22", 0, "loopback_deny"},
        {"127.9.9.9", "9", 0, "loopback_default"},  {"0.0.0.0", "8080", 1, "loopback_allow"},
        {"::ffff:127.0.0.1", "22", 0, "loopback_deny"}, {"192.0.2.1", "22", 1, "open"},
        // clang-format on
    };
    for (const Case& c : cases) {
        Explanation out;
        std::string error;
        ASSERT_TRUE(explain_connect(&policy, c.address, c.port, &out, &error)) << c.address;
        EXPECT_EQ(out.allowed, c.allowed != 0) << c.address;
        EXPECT_EQ(out.stages.at(0).rule, c.rule) << c.address;
    }
    Explanation out;
    std::string error;
    EXPECT_FALSE(explain_connect(&policy, "localhost", "80", &out, &error));
    EXPECT_FALSE(explain_connect(&policy, "127.0.0.1", "65536", &out, &error));
    struct Local {
        const char* path;
        int allowed;
        const char* rule;
    };
    const Local locals[] = {{"/run/nscd/socket", 1, "name_service"},
                            {"/run/systemd/resolve/io.systemd.Resolve", 1, "name_service"},
                            {"/run/systemd/resolve/../x", 0, "local_name"},
                            {"/run/dbus/system_bus_socket", 0, "local_name"},
                            {"@abstract", 0, "abstract"},
                            {"", 1, "unnamed"}};
    for (const Local& local : locals) {
        explain_unix(&policy, local.path, &out);
        EXPECT_EQ(out.allowed, local.allowed != 0) << local.path;
        EXPECT_EQ(out.stages.at(0).rule, local.rule) << local.path;
    }
}

std::vector<Diagnostic> lint_text(const std::string& text) {
    return lint_rules(read_text(text, true).rules);
}

TEST(PolicyLint, EachWarning) {
    const std::string base = "visible /usr\nvisible /etc\n";
    struct Case {
        std::string source;
        const char* warning;
    };
    const Case cases[] = {
        {"visible usr/local", "relative path"},
        {"visible /opt/", "trailing '/'"},
        {"hidden_root", "empty hidden_root"},
        {"write /srv/out", "never writable"},
        {"visible /srv\nwrite_pattern ^/var/cache/[a-z]+$", "never writable"},
        {"visible /srv\nwrite /srv\ngit_write /opt/repo", "under no write entry"},
        {"visible /srv\nwrite_pattern tmp", "no ^ or $ anchor"},
        {"stat_allow /usr/bin", "pointless"},
        {"visible /srv\nvisible /srv", "duplicates"},
        {"hidden_root /a\nhidden_root /", "only the last one counts"},
        {"write_pattern", "matches every path"},
        {"visible", "matches nothing"},
    };
    for (const Case& c : cases) {
        std::vector<Diagnostic> warnings = lint_text(base + c.source);
        EXPECT_TRUE(has_note(warnings, c.warning)) << c.source;
    }
    // The loader's own check is below: where it lies depends on the machine
    // (and on the emulator's library prefix).
    std::vector<Diagnostic> clean =
        lint_text(base +
                  "visible /srv\nwrite /srv\ngit_write /srv/repo\nwrite_pattern ^/srv/.*\\.log$\n"
                  "stat_allow /home\n");
    for (const Diagnostic& warning : clean) EXPECT_EQ(warning.origin, "policy") << warning.message;
    EXPECT_TRUE(has_note(lint_rules({{'P', "(", "record 1"}}), "does not compile"));
}

// The directories of lint's own PATH that the policy hides are named: the
// command would not find its commands there.
TEST(PolicyLint, HiddenPathEntriesAreNamed) {
    e2e::ScratchDir scratch;
    const std::string bin = scratch / "bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    const std::string path = bin + ":/usr/bin:" + scratch / "missing" + ":relative:" + bin;
    std::vector<Diagnostic> hidden = lint_rules(read_text("visible /usr\n", true).rules, path);
    std::vector<Diagnostic> shown = lint_rules(read_text("visible /usr\nvisible " + scratch.path(), true).rules, path);
    size_t named = 0;
    for (const Diagnostic& warning : hidden) {
        if (warning.origin == "PATH") ++named;
    }
    EXPECT_EQ(named, 1u);
    EXPECT_TRUE(has_note(hidden, bin + " is hidden")) << bin;
    EXPECT_FALSE(has_note(shown, " is hidden"));
}

TEST(PolicyLint, TheDynamicLoaderMustBeVisible) {
    std::string loader = machine_loader();
    if (loader.empty()) GTEST_SKIP() << "no dynamically linked /bin/sh or test program: nothing needs a loader";
    EXPECT_TRUE(has_note(lint_text("visible /etc"), "dynamic loader"));
    EXPECT_FALSE(has_note(lint_text("visible /"), "dynamic loader"));
}

TEST(PolicyPreset, DirectoryIsCanonicalAndSecretsAreDenied) {
    e2e::ScratchDir scratch;
    std::string home = scratch / "home";
    mkdir(home.c_str(), 0755);
    mkdir((home + "/.ssh").c_str(), 0700);
    HomeOverride home_override(home);
    PresetRequest request{"workspace", scratch.path() + "/home/.ssh/..", false, {"8080"}, {}};
    std::string text;
    std::string error;
    ASSERT_TRUE(make_preset(request, &text, &error)) << error;
    EXPECT_NE(text.find("\nvisible " + home + "\nwrite " + home + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nloopback_allow 8080\n"), std::string::npos);
    EXPECT_EQ(text.find("\ngit_write"), std::string::npos);
    EXPECT_TRUE(lint_text(text).empty()) << lint_text(text)[0].message;

    Policy policy = policy_from_source(text);
    Explanation out;
    ASSERT_TRUE(explain_path(&policy, ACCESS_READ, home + "/.ssh/id_ed25519", false, 0, &out, &error));
    EXPECT_FALSE(out.allowed);
    EXPECT_EQ(out.stages.at(0).entry, "deny " + home + "/.ssh");
    ASSERT_TRUE(explain_path(&policy, ACCESS_WRITE, home + "/notes.txt", false, 0, &out, &error));
    EXPECT_TRUE(out.allowed);
    ASSERT_TRUE(explain_path(&policy, ACCESS_WRITE, home + "/.git/config", false, 0, &out, &error));
    EXPECT_FALSE(out.allowed);
    ASSERT_TRUE(explain_path(&policy, ACCESS_WRITE, "/etc/demo.txt", false, 0, &out, &error));
    EXPECT_FALSE(out.allowed);

    request.git = true;
    ASSERT_TRUE(make_preset(request, &text, &error));
    EXPECT_NE(text.find("\ngit_write " + home + "\n"), std::string::npos);

    // --with: a tool's settings shown, its caches writable, its keys denied
    // even where the workspace is the home directory; under readonly,
    // nothing of them writable.
    request.tools = {"git", "cargo"};
    ASSERT_TRUE(make_preset(request, &text, &error));
    for (const char* rule : {"\nvisible ~/.gitconfig\n", "\nvisible ~/.config/git\n", "\nwrite ~/.cargo/registry\n",
                             "\ndeny_exact ~/.cargo/credentials.toml\n"}) {
        EXPECT_NE(text.find(rule), std::string::npos) << rule << text;
    }
    policy = policy_from_source(text);
    ASSERT_TRUE(explain_path(&policy, ACCESS_READ, home + "/.gitconfig", false, 0, &out, &error));
    EXPECT_TRUE(out.allowed);
    ASSERT_TRUE(explain_path(&policy, ACCESS_READ, home + "/.cargo/credentials.toml", false, 0, &out, &error));
    EXPECT_FALSE(out.allowed);
    ASSERT_TRUE(make_preset({"readonly", home, false, {}, {"npm"}}, &text, &error)) << error;
    EXPECT_NE(text.find("\nvisible ~/.npm\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nwrite ~/.npm\n"), std::string::npos) << text;
}

// Also for a directory that the system rules name already, or one below
// /dev, whose parent those rules stat_allow.
TEST(PolicyPreset, EveryPresetLintsClean) {
    e2e::ScratchDir scratch;
    struct stat st;
    for (const char* name : {"readonly", "build", "workspace"}) {
        for (const std::string& dir :
             {scratch.path(), std::string("/etc"), std::string("/dev"), std::string("/dev/pts")}) {
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
            std::string text;
            std::string error;
            // Each tool's rules as well: they must lint clean too.
            const std::vector<std::string> tools = {"git", "npm", "pip", "cargo", "local-bin"};
            ASSERT_TRUE(make_preset({name, dir, false, {}, tools}, &text, &error)) << error;
            std::vector<Diagnostic> warnings = lint_text(text);
            EXPECT_TRUE(warnings.empty())
                << name << " " << dir << ": " << warnings[0].origin << " " << warnings[0].message;
            SourceReader reader = read_text(text);
            EXPECT_TRUE(reader.problems.empty()) << name << " " << dir;
        }
    }
    std::string text;
    std::string error;
    EXPECT_FALSE(make_preset({"build", "", false, {}, {}}, &text, &error));
    EXPECT_FALSE(make_preset({"nosuch", "/", false, {}, {}}, &text, &error));
    EXPECT_FALSE(make_preset({"readonly", "/", true, {}, {}}, &text, &error));
    EXPECT_FALSE(make_preset({"build", scratch / "missing", false, {}, {}}, &text, &error));
    EXPECT_FALSE(make_preset({"build", "/", false, {"http"}, {}}, &text, &error));
    EXPECT_FALSE(make_preset({"build", "/", false, {}, {"git", "maven"}}, &text, &error));
    EXPECT_NE(error.find("unknown tool 'maven'"), std::string::npos) << error;
}

// What every preset leaves of /dev and of root's files in /etc: the devices
// programs use and the metadata of /dev itself, but no disk and no secret.
TEST(PolicyPreset, DevicesAndSecretsOfEtc) {
    e2e::ScratchDir scratch;
    struct Row {
        Access access;
        const char* path;
        bool allowed;
        const char* entry;  // the entry that refused, or ""
    };
    const Row rows[] = {
        {ACCESS_READ, "/etc/shadow", false, "deny_exact /etc/shadow"},
        {ACCESS_READ, "/etc/gshadow-", false, "deny_exact /etc/gshadow-"},
        {ACCESS_READ, "/etc/security/opasswd", false, "deny_exact /etc/security/opasswd"},
        {ACCESS_READ, "/etc/sudoers.d/README", false, "deny /etc/sudoers.d"},
        {ACCESS_READ, "/etc/ssh/ssh_host_ed25519_key", false, "deny_exact /etc/ssh/ssh_host_ed25519_key"},
        {ACCESS_READ, "/etc/ssh/ssh_host_ed25519_key.pub", true, ""},
        {ACCESS_READ, "/etc/ssl/private/ssl-cert-snakeoil.key", false, "deny /etc/ssl/private"},
        {ACCESS_READ, "/etc/NetworkManager/system-connections/home.nmconnection", false,
         "deny /etc/NetworkManager/system-connections"},
        {ACCESS_READ, "/etc/passwd", true, ""},
        {ACCESS_READ, "/dev/sda", false, "hidden_root /"},
        {ACCESS_READ, "/dev/nvme0n1", false, "hidden_root /"},
        {ACCESS_WRITE, "/dev/dm-0", false, "hidden_root /"},
        {ACCESS_READ, "/dev/mem", false, "hidden_root /"},
        {ACCESS_READ, "/dev", false, "hidden_root /"},
        {ACCESS_STAT, "/dev", true, ""},
        {ACCESS_WRITE, "/dev/null", true, ""},
        {ACCESS_READ, "/dev/urandom", true, ""},
        {ACCESS_READ, "/dev/pts/0", true, ""},
        {ACCESS_READ, "/dev/shm", true, ""},
    };
    for (const char* name : {"readonly", "build", "workspace"}) {
        std::string text;
        std::string error;
        ASSERT_TRUE(make_preset({name, scratch.path(), false, {}, {}}, &text, &error)) << error;
        EXPECT_EQ(text.find("\nvisible /dev\n"), std::string::npos) << name;
        // Whose objects in /dev/shm the command reaches is the supervisor's
        // to judge; the preset decides only whether it may create any.
        bool writes = std::string(name) != "readonly";
        EXPECT_EQ(text.find("\nvisible /dev/shm\nwrite /dev/shm\n") != std::string::npos, writes) << name;
        EXPECT_NE(text.find("\nvisible /dev/shm\n"), std::string::npos) << name;
        Policy policy = policy_from_source(text);
        for (const Row& row : rows) {
            Explanation out;
            ASSERT_TRUE(explain_path(&policy, row.access, row.path, false, 0, &out, &error)) << error;
            EXPECT_EQ(out.allowed, row.allowed) << name << " " << row.path;
            std::string refused_by = out.allowed ? "" : out.stages.back().entry;
            EXPECT_EQ(refused_by, row.entry) << name << " " << row.path;
        }
    }
}

TEST(PolicyPreset, LoopbackResolverIsFound) {
    e2e::ScratchDir scratch;
    e2e::write_file(scratch / "stub", "# systemd-resolved\nnameserver 127.0.0.53\noptions edns0\n");
    e2e::write_file(scratch / "remote", "nameserver 192.0.2.53\n");
    EXPECT_TRUE(has_loopback_resolver((scratch / "stub").c_str()));
    EXPECT_FALSE(has_loopback_resolver((scratch / "remote").c_str()));
    EXPECT_FALSE(has_loopback_resolver((scratch / "missing").c_str()));
}

}  // namespace
