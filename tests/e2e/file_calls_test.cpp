// How the supervisor judges the trapped file calls, seen from a sandboxed
// probe: the access class each call and flag combination asks for, which
// argument carries the at-flags, empty and relative paths, links, reopened
// descriptors and the calls refused whatever the path rules say.
//
// Every table runs in one probe over a fresh scratch tree:
//   ro/      visible, not writable: f, dir/, link-to-hidden, prog, link-to-prog
//   rw/      visible and writable: f, sub/, link-to-ro, link-to-rw,
//            link-to-hidden, link-to-hidden-dir, l -> ../ro/dir, dangling
//   hidden/  not visible: secret, statme and prog (both stat-allowed)
// The scratch directory itself is not visible either.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "base/arch.h"
#include "support/run.h"

namespace {

using e2e::Process;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::ScratchDir;
using Words = std::vector<std::string>;

// One probe operation and the line it must print. "OK #" stands for any
// "OK <number>", "OK *" for any line starting with "OK "; "|" separates
// lines that are all acceptable.
struct Row {
    Words op;
    std::string expected;
};

bool matches(const std::string& line, const std::string& expected) {
    size_t start = 0;
    for (;;) {
        size_t bar = expected.find('|', start);
        std::string want = expected.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (want == "OK #" ? e2e::ok_value(line) >= 0 : want == "OK *" ? line.rfind("OK ", 0) == 0 : line == want) {
            return true;
        }
        if (bar == std::string::npos) return false;
        start = bar + 1;
    }
}

// Placeholders: {s} the scratch tree, {fdN} the N-th
// descriptor the probe receives after the two directory descriptors every
// table starts with, {long-rw} and {long-ro} 4095-byte names of rw/f and ro/f.
class FileCalls : public testing::Test {
protected:
    void SetUp() override {
        const std::string& s = scratch_.path();
        for (const char* dir : {"ro", "ro/dir", "rw", "rw/sub", "hidden"}) {
            ASSERT_EQ(mkdir((s + "/" + dir).c_str(), 0755), 0) << dir;
        }
        e2e::write_file(s + "/ro/f", "data\n", 0755);
        e2e::write_file(s + "/rw/f", "data\n");
        e2e::write_file(s + "/hidden/secret", "secret\n", 0755);
        e2e::write_file(s + "/hidden/statme", "", 0755);
        e2e::write_file(s + "/hidden/prog", e2e::read_file(e2e::probe_path()), 0755);
        const std::pair<const char*, std::string> links[] = {
            // clang-format off
            {"ro/link-to-hidden", "../hidden/secret"}, {"ro/prog", e2e::probe_path()},
            {"ro/link-to-prog", "../hidden/prog"},     {"rw/link-to-ro", "../ro/f"},
            {"rw/link-to-rw", "f"},                    {"rw/link-to-hidden", "../hidden/secret"},
            {"rw/link-to-hidden-dir", "../hidden"},    {"rw/l", "../ro/dir"},
            {"rw/dangling", "../ro/new"},
            // clang-format on
        };
        for (const auto& [name, target] : links) {
            ASSERT_EQ(symlink(target.c_str(), (s + "/" + name).c_str()), 0) << name;
        }
    }

    std::string policy() const {
        const std::string& s = scratch_.path();
        Records records = {{"E", s + "/ro"},
                           {"E", s + "/rw"},
                           {"W", s + "/rw"},
                           {"M", s + "/hidden/statme"},
                           {"M", s + "/hidden/prog"}};
        records.insert(records.end(), extra_records_.begin(), extra_records_.end());
        return e2e::probe_policy(records);
    }

    // The descriptor numbers the probe will be given, learned from a probe
    // that opens as many files under the same sandbox: the launcher decides
    // which low numbers are already taken.
    void learn_descriptors(int count) {
        Words words;
        for (int i = 0; i < count + 2; ++i) {
            if (i > 0) words.push_back(":");
            for (const char* w : {"openat", "AT_FDCWD", "/dev/null", "O_RDONLY"}) words.push_back(w);
        }
        RunResult r = e2e::run(e2e::sandboxed_probe(policy(), words));
        ASSERT_EQ(r.code, 0) << r.err;
        Words lines = e2e::lines_of(r.out);
        ASSERT_EQ(lines.size(), static_cast<size_t>(count + 2)) << r.out;
        fds_.clear();
        for (size_t i = 2; i < lines.size(); ++i) {
            ASSERT_GE(e2e::ok_value(lines[i]), 0) << lines[i];
            fds_.push_back(lines[i].substr(3));
        }
    }

    std::string long_name(const std::string& dir) const {
        // The kernel takes names up to 4095 bytes before the NUL: pad with
        // "./" (and one extra "/" when the parity needs it).
        std::string name = scratch_.path() + "/" + dir + "/";
        size_t fill = 4095 - name.size() - 1;
        if (fill % 2 != 0) name += "/";
        while (name.size() + 1 < 4095) name += "./";
        return name + "f";
    }

    std::string sub(std::string word) const {
        std::vector<std::pair<std::string, std::string>> keys = {
            {"{s}", scratch_.path()}, {"{long-rw}", long_name("rw")}, {"{long-ro}", long_name("ro")}};
        for (size_t i = 0; i < fds_.size(); ++i) keys.push_back({"{fd" + std::to_string(i) + "}", fds_[i]});
        for (const auto& [key, value] : keys) {
            for (size_t at = word.find(key); at != std::string::npos; at = word.find(key, at + value.size())) {
                word.replace(at, key.size(), value);
            }
        }
        return word;
    }

    // The probe's words: "ro" and "rw" are saved directory descriptors.
    Words words_of(const std::vector<Row>& rows) const {
        Words out = {"openat", "AT_FDCWD", sub("{s}/ro"), "O_RDONLY|O_DIRECTORY", ":", "save", "ro", ":",
                     "openat", "AT_FDCWD", sub("{s}/rw"), "O_RDONLY|O_DIRECTORY", ":", "save", "rw"};
        for (const Row& row : rows) {
            out.push_back(":");
            for (const std::string& w : row.op) out.push_back(sub(w));
        }
        return out;
    }

    void expect_lines(const std::vector<Row>& rows, const Words& got, size_t first = 4) const {
        ASSERT_EQ(got.size(), rows.size() + first);
        for (size_t i = 0; i < rows.size(); ++i) {
            const std::string& line = got[i + first];
            std::string want = sub(rows[i].expected);
            std::string where;
            for (const std::string& w : rows[i].op) where += " " + w;
            EXPECT_TRUE(matches(line, want)) << where << "\n printed  " << line << "\n expected " << want;
        }
    }

    // Runs the rows in one probe, in order.
    void expect_rows(const std::vector<Row>& rows, const RunOptions& options = {}) {
        RunResult r = e2e::run(e2e::sandboxed_probe(policy(), words_of(rows)), options);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.code, 0) << r.err;
        Words got = e2e::lines_of(r.out);
        ASSERT_GE(got.size(), 4u) << r.out;
        EXPECT_EQ(got[0].rfind("OK ", 0), 0u) << "the directories must open: " << r.out;
        expect_lines(rows, got);
    }

    std::string at(const std::string& name) const { return scratch_ / name; }

    ScratchDir scratch_;
    Words fds_;
    Records extra_records_;  // appended to the policy's records
};

const std::string k_denied = "ERR EACCES";

// The links to the standard streams that udev or a container runtime puts
// in /dev, looked for without the sandbox: a bare devtmpfs has none. ""
// when all are there.
std::string missing_stream_link() {
    for (const char* link : {"/dev/fd", "/dev/stdin", "/dev/stdout", "/dev/stderr"}) {
        if (!e2e::file_exists(link)) {
            return std::string(link) + " is missing on this machine without the sandbox too (a bare devtmpfs?)";
        }
    }
    return "";
}

// fchmodat2 came with Linux 6.6: older kernels answer an allowed call with
// ENOSYS, after the supervisor has let it through.
const std::string k_allowed_fchmodat2 = "OK|ERR ENOSYS";

// ---- access classes of the calls -------------------------------------------------

TEST_F(FileCalls, OpenFlagsPickTheAccessClass) {
    expect_rows({
        {{"openat", "ro", "f", "O_RDONLY"}, "OK #"},
        {{"openat", "ro", "f", "O_WRONLY"}, k_denied},
        {{"openat", "ro", "f", "O_RDWR"}, k_denied},
        {{"openat", "ro", "f", "O_RDONLY|O_CREAT"}, k_denied},
        {{"openat", "ro", "f", "O_RDONLY|O_TRUNC"}, k_denied},
        {{"openat", "ro", "f", "O_APPEND"}, k_denied},
        {{"openat", "ro", "f", "O_PATH"}, "OK #"},
        // A write bit outweighs O_PATH, even though the kernel would ignore it.
        {{"openat", "ro", "f", "O_PATH|O_WRONLY"}, k_denied},
        {{"openat", "ro", "dir", "O_RDONLY|O_DIRECTORY"}, "OK #"},
        {{"openat", "ro", "missing", "O_RDONLY"}, "ERR ENOENT"},
        {{"openat", "ro", "missing", "O_WRONLY|O_CREAT", "0644"}, k_denied},
        {{"openat", "rw", "f", "O_WRONLY"}, "OK #"},
        {{"openat", "rw", "f", "O_RDWR"}, "OK #"},
        {{"openat", "rw", "new", "O_RDONLY|O_CREAT", "0644"}, "OK #"},
        {{"openat", "rw", "f", "O_RDONLY|O_TRUNC"}, "OK #"},
        {{"openat", "rw", "f", "O_APPEND"}, "OK #"},
        {{"openat", "rw", "f", "O_PATH|O_WRONLY"}, "OK #"},
        // Hidden files stay hidden, existing or not; stat_allow opens only
        // for looking.
        {{"openat", "AT_FDCWD", "{s}/hidden/secret", "O_RDONLY"}, k_denied},
        {{"openat", "AT_FDCWD", "{s}/hidden/secret", "O_PATH"}, k_denied},
        {{"openat", "AT_FDCWD", "{s}/hidden/missing", "O_PATH"}, k_denied},
        {{"openat", "AT_FDCWD", "{s}/hidden/statme", "O_PATH"}, "OK #"},
        {{"openat", "AT_FDCWD", "{s}/hidden/statme", "O_RDONLY"}, k_denied},
        {{"openat2", "ro", "f", "O_RDONLY"}, "OK #"},
        {{"openat2", "ro", "f", "O_WRONLY"}, k_denied},
        {{"openat2", "ro", "f", "O_PATH"}, "OK #"},
        {{"openat2", "AT_FDCWD", "{s}/hidden/secret", "O_RDONLY"}, k_denied},
    });
    // Nothing the refused opens asked for happened.
    EXPECT_EQ(e2e::read_file(at("ro/f")), "data\n");
    EXPECT_FALSE(e2e::file_exists(at("ro/missing")));
}

// The errors a refusal answers with, when hidden paths look missing: a
// hidden path is missing whether it exists or not, through a link too;
// what the policy shows keeps EACCES; a link loop is the kernel's ELOOP
// whatever the policy says.
TEST_F(FileCalls, RefusalsAnswerWithTheErrorsProgramsExpect) {
    ASSERT_EQ(symlink("loop-b", at("rw/loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", at("rw/loop-b").c_str()), 0);
    extra_records_ = {{"Y", "1"}};
    expect_rows({
        {{"openat", "AT_FDCWD", "{s}/hidden/secret", "O_RDONLY"}, "ERR ENOENT"},
        {{"openat", "AT_FDCWD", "{s}/hidden/missing", "O_PATH"}, "ERR ENOENT"},
        {{"openat", "AT_FDCWD", "{s}/hidden/new", "O_WRONLY|O_CREAT", "0644"}, "ERR ENOENT"},
        {{"openat", "ro", "link-to-hidden", "O_RDONLY"}, "ERR ENOENT"},
        {{"openat", "AT_FDCWD", "{s}/hidden/statme", "O_RDONLY"}, k_denied},
        {{"openat", "ro", "f", "O_WRONLY"}, k_denied},
        {{"openat", "rw", "loop-a", "O_RDONLY"}, "ERR ELOOP"},
        {{"openat", "rw", "loop-a/f", "O_WRONLY|O_CREAT", "0644"}, "ERR ELOOP"},
    });
    // The same without the key: hidden paths are refused.
    extra_records_.clear();
    expect_rows({
        {{"openat", "AT_FDCWD", "{s}/hidden/secret", "O_RDONLY"}, k_denied},
        {{"openat", "rw", "loop-a", "O_RDONLY"}, "ERR ELOOP"},
    });
}

TEST_F(FileCalls, AccessProbeModes) {
    expect_rows({
        {{"faccessat", "AT_FDCWD", "{s}/hidden/secret", "F_OK"}, k_denied},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/secret", "X_OK"}, k_denied},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/secret", "R_OK"}, k_denied},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/secret", "W_OK|R_OK"}, k_denied},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/statme", "F_OK"}, "OK"},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/statme", "X_OK"}, "OK"},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/statme", "R_OK"}, k_denied},
        {{"faccessat", "AT_FDCWD", "{s}/hidden/statme", "W_OK|R_OK"}, k_denied},
        {{"faccessat", "ro", "f", "F_OK"}, "OK"},
        {{"faccessat", "ro", "f", "X_OK"}, "OK"},
        {{"faccessat", "ro", "f", "R_OK"}, "OK"},
        {{"faccessat", "ro", "f", "W_OK"}, k_denied},
        {{"faccessat", "ro", "f", "W_OK|R_OK"}, k_denied},
        {{"faccessat", "rw", "f", "W_OK|R_OK"}, "OK"},
        {{"faccessat2", "ro", "f", "W_OK", "AT_EACCESS"}, k_denied},
        {{"faccessat2", "rw", "f", "W_OK", "AT_EACCESS"}, "OK"},
        {{"newfstatat", "AT_FDCWD", "{s}/hidden/secret", "0"}, k_denied},
        {{"newfstatat", "AT_FDCWD", "{s}/hidden/statme", "0"}, "OK"},
        {{"statx", "AT_FDCWD", "{s}/hidden/statme", "0", "STATX_BASIC_STATS"}, "OK"},
        {{"readlinkat", "ro", "link-to-hidden"}, "OK ../hidden/secret"},
    });
}

TEST_F(FileCalls, AtCallsThatChangeTheTree) {
    expect_rows({
        {{"mkdirat", "rw", "d", "0755"}, "OK"},
        {{"mkdirat", "ro", "d", "0755"}, k_denied},
        {{"mkdirat", "AT_FDCWD", "{s}/hidden/d", "0755"}, k_denied},
        {{"mknodat", "rw", "fifo", "S_IFIFO|0600", "0"}, "OK"},
        {{"mknodat", "rw", "regular", "S_IFREG|0600", "0"}, "OK"},
        {{"mknodat", "ro", "fifo", "S_IFIFO|0600", "0"}, k_denied},
        // Only the new name is judged: the text a link holds is not a path
        // anything is done to.
        {{"symlinkat", "{s}/hidden/secret", "rw", "sl"}, "OK"},
        {{"symlinkat", "f", "ro", "sl"}, k_denied},
        {{"fchmodat", "rw", "f", "0600"}, "OK"},
        {{"fchmodat", "ro", "f", "0755"}, k_denied},
        {{"fchmodat", "rw", "link-to-ro", "0755"}, k_denied},
        {{"fchmodat2", "rw", "f", "0644", "0"}, k_allowed_fchmodat2},
        {{"fchmodat2", "ro", "f", "0755", "0"}, k_denied},
        {{"fchownat", "rw", "f", "-1", "-1", "0"}, "OK"},
        {{"fchownat", "ro", "f", "-1", "-1", "0"}, k_denied},
        {{"fchownat", "rw", "link-to-ro", "-1", "-1", "0"}, k_denied},
        {{"utimensat", "rw", "f", "0"}, "OK"},
        {{"utimensat", "ro", "f", "0"}, k_denied},
        {{"truncate", "{s}/rw/f", "0"}, "OK"},
        {{"truncate", "{s}/ro/f", "0"}, k_denied},
        {{"truncate", "{s}/rw/link-to-ro", "0"}, k_denied},
        {{"unlinkat", "rw", "sl", "0"}, "OK"},
        // Removing a link removes the link, wherever it points.
        {{"unlinkat", "rw", "link-to-ro", "0"}, "OK"},
        {{"unlinkat", "ro", "f", "0"}, k_denied},
        {{"unlinkat", "AT_FDCWD", "{s}/hidden/secret", "0"}, k_denied},
        {{"unlinkat", "rw", "d", "AT_REMOVEDIR"}, "OK"},
        {{"unlinkat", "ro", "dir", "AT_REMOVEDIR"}, k_denied},
    });
    EXPECT_EQ(e2e::read_file(at("ro/f")), "data\n");
    EXPECT_TRUE(e2e::file_exists(at("ro/dir")));
    EXPECT_TRUE(e2e::file_exists(at("hidden/secret")));
}

TEST_F(FileCalls, LegacyCalls) {
    if (!k_has_legacy_calls) GTEST_SKIP() << "this architecture has only the at-calls";
    expect_rows({
        {{"open", "{s}/ro/f", "O_RDONLY"}, "OK #"},
        {{"open", "{s}/ro/f", "O_WRONLY|O_TRUNC"}, k_denied},
        {{"open", "{s}/rw/new", "O_WRONLY|O_CREAT", "0644"}, "OK #"},
        {{"open", "{s}/hidden/secret", "O_PATH"}, k_denied},
        {{"creat", "{s}/rw/c", "0644"}, "OK #"},
        {{"creat", "{s}/ro/c", "0644"}, k_denied},
        {{"stat", "{s}/ro/link-to-hidden"}, k_denied},
        {{"lstat", "{s}/ro/link-to-hidden"}, "OK"},
        {{"stat", "{s}/hidden/statme"}, "OK"},
        {{"lstat", "{s}/hidden/secret"}, k_denied},
        {{"access", "{s}/hidden/statme", "X_OK"}, "OK"},
        {{"access", "{s}/hidden/statme", "R_OK"}, k_denied},
        {{"access", "{s}/ro/f", "R_OK"}, "OK"},
        {{"access", "{s}/ro/f", "W_OK"}, k_denied},
        {{"readlink", "{s}/ro/link-to-hidden"}, "OK ../hidden/secret"},
        {{"mkdir", "{s}/rw/d", "0755"}, "OK"},
        {{"mkdir", "{s}/ro/d", "0755"}, k_denied},
        {{"mknod", "{s}/rw/p", "S_IFIFO|0600", "0"}, "OK"},
        {{"mknod", "{s}/ro/p", "S_IFIFO|0600", "0"}, k_denied},
        {{"symlink", "{s}/hidden/secret", "{s}/rw/s"}, "OK"},
        {{"symlink", "f", "{s}/ro/s"}, k_denied},
        {{"link", "{s}/rw/f", "{s}/rw/h"}, "OK"},
        {{"link", "{s}/ro/f", "{s}/rw/h2"}, k_denied},
        {{"link", "{s}/rw/f", "{s}/ro/h2"}, k_denied},
        {{"rename", "{s}/rw/h", "{s}/rw/h3"}, "OK"},
        {{"rename", "{s}/ro/f", "{s}/rw/h4"}, k_denied},
        {{"rename", "{s}/rw/h3", "{s}/ro/h4"}, k_denied},
        {{"chmod", "{s}/rw/f", "0644"}, "OK"},
        {{"chmod", "{s}/ro/f", "0644"}, k_denied},
        {{"chmod", "{s}/rw/link-to-ro", "0644"}, k_denied},
        {{"chown", "{s}/rw/f", "-1", "-1"}, "OK"},
        {{"chown", "{s}/ro/f", "-1", "-1"}, k_denied},
        {{"lchown", "{s}/rw/link-to-rw", "-1", "-1"}, "OK"},
        // A write is judged where the link leads as well, lchown included.
        {{"lchown", "{s}/rw/link-to-ro", "-1", "-1"}, k_denied},
        {{"unlink", "{s}/rw/h3"}, "OK"},
        {{"unlink", "{s}/ro/f"}, k_denied},
        {{"unlink", "{s}/rw/link-to-ro"}, "OK"},
        {{"rmdir", "{s}/rw/d"}, "OK"},
        {{"rmdir", "{s}/ro/dir"}, k_denied},
    });
    EXPECT_EQ(e2e::read_file(at("ro/f")), "data\n");
    EXPECT_FALSE(e2e::file_exists(at("rw/h4")));
    EXPECT_FALSE(e2e::file_exists(at("ro/h4")));
}

// ---- which argument says what ----------------------------------------------------

TEST_F(FileCalls, AtFlagsAreReadFromTheirOwnArgument) {
    // ro/link-to-hidden is visible itself; following it reaches a hidden
    // file. statx keeps its flags in argument 2 and its mask in 3, where
    // the same bits mean something else (STATX_BASIC_STATS holds 0x100).
    expect_rows({
        {{"statx", "ro", "link-to-hidden", "AT_SYMLINK_NOFOLLOW", "STATX_TYPE"}, "OK"},
        {{"statx", "ro", "link-to-hidden", "0", "STATX_TYPE"}, k_denied},
        {{"statx", "ro", "link-to-hidden", "0", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"statx", "ro", "link-to-hidden", "0", "STATX_BASIC_STATS"}, k_denied},
        {{"newfstatat", "ro", "link-to-hidden", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"newfstatat", "ro", "link-to-hidden", "0"}, k_denied},
        {{"newfstatat", "ro", "link-to-hidden", "AT_EMPTY_PATH"}, k_denied},
        {{"faccessat2", "ro", "link-to-hidden", "F_OK", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"faccessat2", "ro", "link-to-hidden", "F_OK", "0"}, k_denied},
        {{"faccessat", "ro", "link-to-hidden", "F_OK"}, k_denied},
        {{"openat", "ro", "link-to-hidden", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"openat", "ro", "link-to-hidden", "O_PATH"}, k_denied},
        {{"openat2", "ro", "link-to-hidden", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"openat2", "ro", "link-to-hidden", "O_PATH"}, k_denied},
        {{"readlinkat", "ro", "link-to-hidden"}, "OK ../hidden/secret"},
    });
}

TEST_F(FileCalls, EmptyPaths) {
    expect_rows({
        {{"openat", "ro", "f", "O_RDONLY"}, "OK #"},
        {{"save", "rof"}, "OK"},
        {{"openat", "ro", "f", "O_PATH"}, "OK #"},
        {{"save", "ropath"}, "OK"},
        {{"openat", "rw", "f", "O_RDONLY"}, "OK #"},
        {{"save", "rwf"}, "OK"},
        {{"openat", "rw", "link-to-ro", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"save", "lnk"}, "OK"},
        {{"pipe"}, "OK *"},
        // Looking at or reading a descriptor one holds needs no rule.
        {{"newfstatat", "ro", "EMPTY", "AT_EMPTY_PATH"}, "OK"},
        {{"newfstatat", "rof", "EMPTY", "AT_EMPTY_PATH"}, "OK"},
        {{"newfstatat", "pipe_r", "EMPTY", "AT_EMPTY_PATH"}, "OK"},
        {{"newfstatat", "ro", "EMPTY", "0"}, k_denied},
        {{"statx", "rof", "EMPTY", "AT_EMPTY_PATH", "STATX_TYPE"}, "OK"},
        {{"statx", "rof", "EMPTY", "0", "STATX_TYPE"}, k_denied},
        {{"statx", "rof", "EMPTY", "0", "AT_EMPTY_PATH"}, k_denied},
        {{"faccessat2", "ro", "EMPTY", "F_OK", "AT_EMPTY_PATH"}, "OK"},
        {{"faccessat", "ro", "EMPTY", "F_OK"}, k_denied},
        {{"readlinkat", "lnk", "EMPTY"}, "OK ../ro/f"},
        {{"openat", "ro", "EMPTY", "O_RDONLY"}, k_denied},
        // Changing one is judged on the file it stands for.
        {{"faccessat2", "ro", "EMPTY", "W_OK", "AT_EMPTY_PATH"}, k_denied},
        {{"faccessat2", "rw", "EMPTY", "W_OK", "AT_EMPTY_PATH"}, "OK"},
        {{"fchownat", "rof", "EMPTY", "-1", "-1", "AT_EMPTY_PATH"}, k_denied},
        {{"fchownat", "ropath", "EMPTY", "-1", "-1", "AT_EMPTY_PATH"}, k_denied},
        {{"fchownat", "rwf", "EMPTY", "-1", "-1", "AT_EMPTY_PATH"}, "OK"},
        {{"fchownat", "rwf", "EMPTY", "-1", "-1", "0"}, k_denied},
        {{"utimensat", "rof", "NULL", "0"}, k_denied},
        {{"utimensat", "rwf", "NULL", "0"}, "OK"},
        {{"utimensat", "rof", "EMPTY", "AT_EMPTY_PATH"}, k_denied},
        {{"utimensat", "rwf", "EMPTY", "AT_EMPTY_PATH"}, "OK"},
        {{"linkat", "rof", "EMPTY", "rw", "h1", "AT_EMPTY_PATH"}, k_denied},
        {{"linkat", "rwf", "EMPTY", "rw", "h2", "AT_EMPTY_PATH"}, "OK"},
        {{"linkat", "rwf", "EMPTY", "rw", "h3", "0"}, k_denied},
        {{"fchmodat", "rwf", "EMPTY", "0644"}, k_denied},
        {{"mkdirat", "rw", "EMPTY", "0755"}, k_denied},
        {{"unlinkat", "rw", "EMPTY", "0"}, k_denied},
        {{"truncate", "EMPTY", "0"}, k_denied},
    });
    EXPECT_FALSE(e2e::file_exists(at("rw/h1")));
    EXPECT_TRUE(e2e::file_exists(at("rw/h2")));
}

TEST_F(FileCalls, WhereRelativePathsStartAndOddPointers) {
    std::string long_rw = long_name("rw");
    ASSERT_EQ(long_rw.size(), 4095u);
    ASSERT_EQ(long_name("ro").size(), 4095u);
    RunOptions in_rw;
    in_rw.cwd = at("rw");
    expect_rows(
        {
            {{"openat", "AT_FDCWD", "f", "O_WRONLY"}, "OK #"},
            {{"openat", "AT_FDCWD", "../ro/f", "O_WRONLY"}, k_denied},
            {{"openat", "AT_FDCWD", "../ro/f", "O_RDONLY"}, "OK #"},
            {{"openat", "AT_FDCWD", "../hidden/secret", "O_RDONLY"}, k_denied},
            {{"mkdirat", "AT_FDCWD", "cwd-dir", "0755"}, "OK"},
            {{"truncate", "f", "0"}, "OK"},
            {{"truncate", "../ro/f", "0"}, k_denied},
            {{"openat", "rw", "../ro/f", "O_WRONLY"}, k_denied},
            {{"openat", "ro", "../rw/f", "O_WRONLY"}, "OK #"},
            // A relative path needs a directory to start from.
            {{"openat", "-1", "f", "O_RDONLY"}, k_denied},
            {{"openat", "-1", "{s}/ro/f", "O_RDONLY"}, "OK #"},
            {{"pipe"}, "OK *"},
            {{"openat", "pipe_r", "f", "O_RDONLY"}, k_denied},
            {{"newfstatat", "pipe_r", "f", "0"}, k_denied},
            // No such descriptor: the kernel's own answer.
            {{"openat", "999", "f", "O_RDONLY"}, "ERR EBADF"},
            // Names running across a page boundary are read whole.
            {{"openat", "AT_FDCWD", "@page:{s}/rw/f", "O_WRONLY"}, "OK #"},
            {{"openat", "AT_FDCWD", "@page:{s}/ro/f", "O_WRONLY"}, k_denied},
            {{"openat", "rw", "@page:./././././../ro/f", "O_WRONLY"}, k_denied},
            {{"openat", "rw", "@page:./././././../ro/f", "O_RDONLY"}, "OK #"},
            // The longest name the kernel takes.
            {{"openat", "AT_FDCWD", "{long-rw}", "O_WRONLY"}, "OK #"},
            {{"openat", "AT_FDCWD", "{long-ro}", "O_WRONLY"}, k_denied},
            {{"openat", "AT_FDCWD", "{long-ro}", "O_RDONLY"}, "OK #"},
            {{"openat", "AT_FDCWD", "NULL", "O_RDONLY"}, k_denied},
            {{"newfstatat", "AT_FDCWD", "NULL", "0"}, k_denied},
            // A null path with AT_EMPTY_PATH is the descriptor itself from
            // Linux 6.11 on; older kernels fault it. Nothing is refused.
            {{"statx", "rw", "NULL", "AT_EMPTY_PATH", "STATX_TYPE"}, "OK|ERR EFAULT"},
            {{"openat", "AT_FDCWD", "BADPTR", "O_RDONLY"}, k_denied},
            {{"mkdirat", "rw", "BADPTR", "0755"}, k_denied},
            {{"openat2_nullhow", "rw", "f"}, k_denied},
        },
        in_rw);
    EXPECT_TRUE(e2e::file_exists(at("rw/cwd-dir")));
    EXPECT_EQ(e2e::read_file(at("ro/f")), "data\n");
}

TEST_F(FileCalls, TwoPathCallsJudgeBothNames) {
    expect_rows({
        {{"renameat", "ro", "f", "rw", "moved"}, k_denied},
        {{"renameat", "rw", "f", "ro", "moved"}, k_denied},
        {{"renameat", "rw", "f", "AT_FDCWD", "{s}/hidden/moved"}, k_denied},
        {{"renameat", "AT_FDCWD", "{s}/hidden/secret", "rw", "moved"}, k_denied},
        {{"renameat", "rw", "f", "rw", "moved"}, "OK"},
        {{"renameat2", "rw", "moved", "ro", "f", "RENAME_EXCHANGE"}, k_denied},
        {{"renameat2", "ro", "f", "rw", "moved", "RENAME_EXCHANGE"}, k_denied},
        {{"renameat2", "rw", "moved", "rw", "f", "RENAME_NOREPLACE"}, "OK"},
        // Renaming a link moves the link, not what it points to.
        {{"renameat", "rw", "link-to-ro", "rw", "renamed-link"}, "OK"},
        {{"linkat", "ro", "f", "rw", "h", "0"}, k_denied},
        {{"linkat", "rw", "f", "ro", "h", "0"}, k_denied},
        {{"linkat", "rw", "f", "AT_FDCWD", "{s}/hidden/h", "0"}, k_denied},
        {{"linkat", "rw", "f", "rw", "h", "0"}, "OK"},
        {{"linkat", "rw", "renamed-link", "rw", "h2", "0"}, k_denied},
        {{"linkat", "rw", "renamed-link", "rw", "h2", "AT_SYMLINK_FOLLOW"}, k_denied},
    });
    EXPECT_EQ(e2e::read_file(at("ro/f")), "data\n");
    EXPECT_FALSE(e2e::file_exists(at("ro/moved")));
    EXPECT_FALSE(e2e::file_exists(at("ro/h")));
    EXPECT_TRUE(e2e::file_exists(at("rw/f")));
    EXPECT_TRUE(e2e::file_exists(at("rw/h")));
}

// ---- links -----------------------------------------------------------------------

TEST_F(FileCalls, WritesAreJudgedWhereLinksLead) {
    expect_rows({
        {{"openat", "rw", "link-to-ro", "O_WRONLY"}, k_denied},
        {{"openat", "rw", "link-to-ro", "O_WRONLY|O_NOFOLLOW"}, k_denied},
        {{"openat", "rw", "link-to-ro", "O_RDONLY"}, "OK #"},
        {{"openat", "rw", "link-to-hidden", "O_WRONLY|O_CREAT", "0644"}, k_denied},
        {{"openat", "rw", "link-to-hidden", "O_RDONLY"}, k_denied},
        {{"openat", "rw", "link-to-hidden", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"newfstatat", "rw", "link-to-hidden", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"readlinkat", "rw", "link-to-hidden"}, "OK ../hidden/secret"},
        // Creating through a dangling link creates its target.
        {{"openat", "rw", "dangling", "O_WRONLY|O_CREAT", "0644"}, k_denied},
        // Every write is judged where the link leads as well, even one that
        // changes the link itself.
        {{"fchownat", "rw", "link-to-ro", "-1", "-1", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"fchownat", "rw", "link-to-rw", "-1", "-1", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"utimensat", "rw", "link-to-ro", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        // ".." after a link climbs from where the link leads: rw/l/../t is
        // ro/t, though the text alone reads rw/t.
        {{"openat", "rw", "l/../t", "O_WRONLY|O_CREAT", "0644"}, k_denied},
        {{"mkdirat", "rw", "l/../newdir", "0755"}, k_denied},
        {{"openat", "rw", "l/../f", "O_RDONLY"}, "OK #"},
        {{"openat", "rw", "sub/../t", "O_WRONLY|O_CREAT", "0644"}, "OK #"},
    });
    EXPECT_FALSE(e2e::file_exists(at("ro/new")));
    EXPECT_FALSE(e2e::file_exists(at("ro/t")));
    EXPECT_FALSE(e2e::file_exists(at("ro/newdir")));
    EXPECT_TRUE(e2e::file_exists(at("rw/t")));
}

TEST_F(FileCalls, TrailingSlashFollowsTheLastLink) {
    // rw/link-to-hidden-dir leads to the hidden directory, rw/l to ro/dir.
    expect_rows({
        {{"newfstatat", "rw", "link-to-hidden-dir", "AT_SYMLINK_NOFOLLOW"}, "OK"},
        {{"newfstatat", "rw", "link-to-hidden-dir/", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"newfstatat", "rw", "link-to-hidden-dir/.", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"statx", "rw", "link-to-hidden-dir/", "AT_SYMLINK_NOFOLLOW", "STATX_TYPE"}, k_denied},
        {{"faccessat2", "rw", "link-to-hidden-dir/", "F_OK", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"readlinkat", "rw", "link-to-hidden-dir/"}, k_denied},
        {{"openat", "rw", "link-to-hidden-dir", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"openat", "rw", "link-to-hidden-dir/", "O_RDONLY|O_NOFOLLOW|O_DIRECTORY"}, k_denied},
        {{"openat", "rw", "l/", "O_RDONLY|O_NOFOLLOW|O_DIRECTORY"}, "OK #"},
        {{"openat", "rw", "l/.", "O_PATH|O_NOFOLLOW"}, "OK #"},
        {{"mkdirat", "rw", "l/", "0755"}, k_denied},
        {{"fchownat", "rw", "l/", "-1", "-1", "AT_SYMLINK_NOFOLLOW"}, k_denied},
        {{"unlinkat", "rw", "l/", "AT_REMOVEDIR"}, k_denied},
        {{"mkdirat", "rw", "newdir/", "0755"}, "OK"},
    });
    EXPECT_TRUE(e2e::file_exists(at("ro/dir")));
}

// ---- descriptors -----------------------------------------------------------------

TEST_F(FileCalls, ReopenedDescriptorsAreJudgedByWhatTheyAre) {
    if (std::string why = missing_stream_link(); !why.empty()) GTEST_SKIP() << why;
    learn_descriptors(9);
    expect_rows({
        {{"openat", "ro", "f", "O_RDONLY"}, "OK {fd0}"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd0}", "O_WRONLY"}, k_denied},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd0}", "O_RDWR"}, k_denied},
        {{"openat", "AT_FDCWD", "/dev/fd/{fd0}", "O_WRONLY"}, k_denied},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd0}", "O_RDONLY"}, "OK {fd1}"},
        {{"openat", "ro", "f", "O_PATH"}, "OK {fd2}"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd2}", "O_WRONLY"}, k_denied},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd2}", "O_RDONLY"}, "OK {fd3}"},
        {{"openat", "rw", "f", "O_RDWR"}, "OK {fd4}"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd4}", "O_WRONLY"}, "OK {fd5}"},
        {{"openat", "AT_FDCWD", "/dev/fd/{fd4}", "O_RDONLY"}, "OK {fd6}"},
        // A pipe has no path: what the descriptor allows is all there is.
        {{"pipe"}, "OK {fd7} {fd8}"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd8}", "O_WRONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/dev/fd/{fd7}", "O_RDONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/1", "O_WRONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/dev/stdin", "O_RDONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/proc/thread-self/fd/{fd0}", "O_RDONLY"}, "OK #"},
    });
}

// The run's stdout and stderr are pipes: "tee /dev/stdout" must work.
TEST_F(FileCalls, StandardStreamNamesReopenThePipes) {
    if (std::string why = missing_stream_link(); !why.empty()) GTEST_SKIP() << why;
    expect_rows({
        {{"openat", "AT_FDCWD", "/dev/stdout", "O_WRONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/dev/stderr", "O_WRONLY|O_APPEND"}, "OK #"},
        {{"openat", "AT_FDCWD", "/dev/fd/1", "O_WRONLY"}, "OK #"},
    });
}

// Reopening gives back what the descriptor already allows even when its
// file has since moved out of the write area.
TEST_F(FileCalls, ReopenKeepsTheDescriptorsOwnAccess) {
    e2e::write_file(at("rw/a"), "a\n");
    e2e::write_file(at("rw/b"), "b\n");
    learn_descriptors(2);
    std::vector<Row> rows = {
        {{"openat", "rw", "a", "O_RDWR"}, "OK {fd0}"},
        {{"openat", "rw", "b", "O_RDONLY"}, "OK {fd1}"},
        {{"ready"}, "READY"},
        {{"await", "{s}/ro/b"}, "OK"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd0}", "O_WRONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd0}", "O_RDONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd1}", "O_RDONLY"}, "OK #"},
        {{"openat", "AT_FDCWD", "/proc/self/fd/{fd1}", "O_WRONLY"}, k_denied},
        {{"openat", "AT_FDCWD", "{s}/ro/a", "O_WRONLY"}, k_denied},
    };
    Process probe(e2e::sandboxed_probe(policy(), words_of(rows)));
    ASSERT_TRUE(probe.read_until("READY"));
    ASSERT_EQ(rename(at("rw/a").c_str(), at("ro/a").c_str()), 0);
    ASSERT_EQ(rename(at("rw/b").c_str(), at("ro/b").c_str()), 0);
    RunResult r = probe.finish();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.err;
    expect_lines(rows, e2e::lines_of(r.out));
}

// ---- opens the supervisor carries out ------------------------------------------------

mode_t mode_of(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A default ACL of user rw, group rw, others r: new files take their mode
// from it rather than from the umask.
bool set_default_acl(const std::string& directory) {
    const uint32_t header = 2;
    const uint16_t entries[][4] = {{0x01, 6, 0, 0}, {0x04, 6, 0, 0}, {0x20, 4, 0, 0}};
    std::string value(reinterpret_cast<const char*>(&header), sizeof(header));
    for (const auto& entry : entries) value.append(reinterpret_cast<const char*>(entry), sizeof(entry));
    return setxattr(directory.c_str(), "system.posix_acl_default", value.data(), value.size(), 0) == 0;
}

// Files an open creates get the mode the caller's own open would give them:
// its umask, or the parent's default ACL; an unnamed file can be linked in;
// the flags keep their errors.
TEST_F(FileCalls, OpensKeepTheCallersView) {
    ASSERT_EQ(mkdir(at("rw/acl").c_str(), 0755), 0);
    const bool acl = set_default_acl(at("rw/acl"));
    e2e::write_file(at("rw/rootonly"), "root\n", 0600);
    const mode_t saved = umask(027);
    expect_rows({
        {{"openat", "rw", "made", "O_WRONLY|O_CREAT|O_EXCL", "0666"}, "OK #"},
        {{"openat", "rw", "made", "O_WRONLY|O_CREAT|O_EXCL", "0666"}, "ERR EEXIST"},
        {{"openat", "rw", "acl/made", "O_WRONLY|O_CREAT", "0666"}, "OK #"},
        {{"openat", "rw", "f/", "O_RDONLY"}, "ERR ENOTDIR"},
        {{"openat", "rw", "new/", "O_WRONLY|O_CREAT", "0666"}, "ERR EISDIR"},
        {{"openat", "rw", ".", "O_TMPFILE|O_WRONLY", "0666"}, "OK #"},
        {{"save", "t"}, "OK"},
        {{"linkat", "t", "EMPTY", "rw", "linked", "AT_EMPTY_PATH"}, "OK"},
        {{"openat", "rw", "f", "O_RDONLY|O_NOCTTY|O_NONBLOCK"}, "OK #"},
        // A command that drops root opens no more than its new ids allow.
        {{"call", "setgroups", "0", "0"}, "OK 0"},
        {{"call", "setresgid", "65534", "65534", "65534"}, "OK 0"},
        {{"call", "setresuid", "65534", "65534", "65534"}, "OK 0"},
        {{"openat", "rw", "rootonly", "O_RDONLY"}, "ERR EACCES"},
        {{"openat", "rw", "f", "O_RDONLY"}, "OK #"},
    });
    umask(saved);
    EXPECT_EQ(mode_of(at("rw/made")), 0640u);
    EXPECT_EQ(mode_of(at("rw/linked")), 0640u);
    if (acl) {
        EXPECT_EQ(mode_of(at("rw/acl/made")), 0664u);
    } else {
        std::cout << "[ note     ] no default ACL on this file system: only the umask was checked\n";
    }
}

// A FIFO's reader and writer inside the tree meet. A shell that creates
// files with O_EXCL while signals keep arriving may see a call interrupted
// before it was judged, and tries again; it never finds a file it made
// itself ("File exists").
TEST_F(FileCalls, OpensThatWaitOrAreInterrupted) {
    // Under emulation the signals would leave the shell little else to do.
    const std::string files = e2e::is_light_load() ? "30" : "200";
    // Before 5.19 a signal ends the wait of a trapped call, which fails
    // with EINTR for a handler without SA_RESTART: under emulation an endless
    // storm can win every try, so there it ends after a few thousand signals.
    const std::string storm = e2e::is_light_load()
                                  ? "k=0; while [ $k -lt 3000 ] && kill -USR1 $$ 2>/dev/null; do k=$((k+1)); done"
                                  : "while kill -USR1 $$ 2>/dev/null; do :; done";
    const std::string tries = e2e::is_light_load() ? "100000" : "20";
    const std::string script = "cd " + at("rw") +
                               " && mkfifo p && { cat p > got & } && echo through > p && wait && cat got &&"
                               " { echo again > p & } && cat p && wait &&"
                               " set -C && trap : USR1 && { " +
                               storm + " & } && i=0 && while [ $i -lt " + files +
                               " ]; do j=0; until echo $i > n$i; do j=$((j+1)); [ $j -lt " + tries +
                               " ] || exit 9; done;"
                               " i=$((i+1)); done && echo made $i";
    RunResult r = e2e::run(e2e::sandboxed(policy(), {e2e::find_program("sh"), "-c", script}));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "through\nagain\nmade " + files + "\n") << r.err;
    EXPECT_EQ(r.err.find("exists"), std::string::npos) << r.err;
}

// On a terminal of its own: "/dev/tty" is the command's terminal, never the
// supervisor's, raw mode works on it, and a new terminal opens and goes raw.
TEST_F(FileCalls, TerminalsAreTheCallers) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string name = ptsname(master);
    extra_records_ = {{"W", "/dev/tty"}, {"W", "/dev/ptmx"}, {"W", "/dev/pts"}};
    const std::string script =
        "tty; stty raw && stty -raw && echo raw; echo direct > /dev/tty; " + e2e::probe_path() + " openpty";
    const Words argv = e2e::sandboxed(policy(), {e2e::find_program("sh"), "-c", script});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A session of its own, whose first terminal becomes its own.
        setsid();
        const int terminal = open(name.c_str(), O_RDWR);
        if (terminal < 0) _exit(126);
        for (int fd = 0; fd < 3; ++fd) dup2(terminal, fd);
        std::vector<char*> args;
        for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    std::string out;
    char buffer[512];
    for (;;) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 60000) <= 0) break;
        const ssize_t got = read(master, buffer, sizeof(buffer));
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(master);
    std::string lines;
    for (char c : out) {
        if (c != '\r') lines += c;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << lines;
    EXPECT_EQ(lines, name + "\nraw\ndirect\nOK tty\n");
}

// ---- changes the supervisor carries out -----------------------------------------------

constexpr time_t k_set_times_below = 1000000000;

// Every entry below dir, by relative name, with its type and mode, and a
// link's text: what two runs must leave alike.
void list_tree(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat status;
        const std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &status) != 0) continue;
        char line[128];
        snprintf(line, sizeof(line), " %06o %u:%u", static_cast<unsigned>(status.st_mode),
                 static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_gid));
        std::string entry = prefix + name + line;
        // Sizes of files, times that were set (not "now"), user attributes.
        if (S_ISREG(status.st_mode)) entry += " size " + std::to_string(status.st_size);
        if (status.st_mtime < k_set_times_below) entry += " mtime " + std::to_string(status.st_mtime);
        char attributes[256] = {};
        const ssize_t length = llistxattr(path.c_str(), attributes, sizeof(attributes));
        for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(strlen(attributes + at)) + 1) {
            if (strncmp(attributes + at, "user.", 5) == 0) entry += " " + std::string(attributes + at);
        }
        char target[256] = {};
        if (S_ISLNK(status.st_mode) && readlink(path.c_str(), target, sizeof(target) - 1) > 0)
            entry += " -> " + std::string(target);
        out->push_back(entry);
        if (S_ISDIR(status.st_mode)) list_tree(path, prefix + name + "/", out);
    }
}

// The same tree in two places: rw/ with a file, a link to it, a directory
// with a file, an empty directory, and one nobody may write to.
void make_change_tree(const std::string& root) {
    for (const char* dir : {"rw", "rw/d", "rw/e", "rw/locked"}) ASSERT_EQ(mkdir((root + "/" + dir).c_str(), 0755), 0);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod((root + "/rw").c_str(), 0777), 0);
    e2e::write_file(root + "/rw/f", "f\n");
    e2e::write_file(root + "/rw/d/x", "x\n");
    ASSERT_EQ(symlink("f", (root + "/rw/l").c_str()), 0);
}

// A change the supervisor carries out answers as the kernel does: the same
// operations on two copies of a tree, one run without the sandbox and one
// under it, print the same lines and leave the same trees, as root, as an
// ordinary user, and as root that became that user.
TEST(CarriedOutChanges, AnswerAsTheKernelDoes) {
    const std::vector<Words> ops = {
        {"mkdirat", "rw", "new", "0750"},
        {"mkdirat", "rw", "new", "0750"},
        {"mkdirat", "rw", "missing/new", "0750"},
        {"mkdirat", "rw", "f/new", "0750"},
        {"mkdirat", "rw", "slash/", "0700"},
        {"unlinkat", "rw", "d", "AT_REMOVEDIR"},
        {"unlinkat", "rw", "d", "0"},
        {"unlinkat", "rw", "e", "AT_REMOVEDIR"},
        {"unlinkat", "rw", "missing", "0"},
        {"unlinkat", "rw", "f/", "0"},
        {"renameat", "rw", "f", "rw", "d"},
        {"renameat", "rw", "d", "rw", "f"},
        {"renameat", "rw", "missing", "rw", "x"},
        {"renameat2", "rw", "f", "rw", "l", "RENAME_NOREPLACE"},
        {"renameat2", "rw", "f", "rw", "l", "RENAME_EXCHANGE"},
        {"renameat2", "rw", "d/x", "rw", "moved", "0"},
        {"symlinkat", "somewhere", "rw", "l"},
        {"symlinkat", "somewhere", "rw", "new-link"},
        {"mkdirat", "rw", "locked/new", "0755"},
        {"unlinkat", "rw", "locked", "AT_REMOVEDIR"},
        // A file of whoever runs the ops, and links to it.
        {"call", "mknodat", "rw", "s:mine", "S_IFREG|0644", "0"},
        {"call", "linkat", "rw", "s:mine", "rw", "s:hard", "0"},
        {"call", "linkat", "rw", "s:mine", "rw", "s:hard", "0"},
        {"call", "linkat", "rw", "s:l", "rw", "s:hard-l", "0"},
        {"call", "linkat", "rw", "s:l", "rw", "s:hard-f", "AT_SYMLINK_FOLLOW"},
        {"call", "linkat", "rw", "s:d", "rw", "s:hard-d", "0"},
        {"call", "linkat", "rw", "s:", "rw", "s:hard-rw", "AT_EMPTY_PATH"},
        {"call", "linkat", "rw", "s:missing", "rw", "s:x", "0"},
        {"call", "mknodat", "rw", "s:fifo", "S_IFIFO|0666", "0"},
        {"call", "mknodat", "rw", "s:fifo", "S_IFIFO|0666", "0"},
        {"call", "mknodat", "rw", "s:locked/sock", "S_IFSOCK|0600", "0"},
        {"call", "fchmodat", "rw", "s:mine", "0600"},
        {"call", "fchmodat", "rw", "s:l", "0640"},
        {"call", "fchmodat", "rw", "s:missing", "0640"},
        {"call", "fchmodat2", "rw", "s:l", "0600", "AT_SYMLINK_NOFOLLOW"},
        {"call", "fchownat", "rw", "s:mine", "-1", "65534", "0"},
        {"call", "fchownat", "rw", "s:f", "65534", "-1", "0"},
        {"call", "fchownat", "rw", "s:l", "65534", "65534", "AT_SYMLINK_NOFOLLOW"},
        {"call", "fchownat", "rw", "s:", "-1", "-1", "AT_EMPTY_PATH"},
        {"call", "truncate", "s:{s}/rw/mine", "3"},
        {"call", "truncate", "s:{s}/rw/f", "1"},
        {"call", "truncate", "s:{s}/rw/d", "1"},
        {"call", "utimensat", "rw", "s:mine", "l:12345,0,23456,0", "0"},
        {"call", "utimensat", "rw", "s:f", "l:12345,0,23456,0", "0"},
        {"call", "utimensat", "rw", "s:l", "l:34567,0,45678,0", "AT_SYMLINK_NOFOLLOW"},
        {"call", "utimensat", "rw", "s:f", "0", "0"},
        {"call", "utimensat", "rw", "s:f", "l:1,2000000000,1,0", "0"},
        {"call", "setxattr", "s:{s}/rw/mine", "s:user.k", "s:value", "5", "0"},
        {"call", "setxattr", "s:{s}/rw/mine", "s:user.k", "s:value", "5", "1"},
        {"call", "lsetxattr", "s:{s}/rw/l", "s:user.k", "s:value", "5", "0"},
        {"call", "setxattr", "s:{s}/rw/l", "s:user.l", "s:through", "7", "0"},
        {"call", "removexattr", "s:{s}/rw/mine", "s:user.k"},
        {"call", "removexattr", "s:{s}/rw/mine", "s:user.k"},
    };
    // Root; an ordinary user; root that drops to that user first, whose
    // changes the supervisor makes with the user's credentials.
    const std::vector<Words> dropping = {{"call", "setgroups", "0", "0"},
                                         {"call", "setresgid", "65534", "65534", "65534"},
                                         {"call", "setresuid", "65534", "65534", "65534"}};
    for (const int pass : {0, 1, 2}) {
        const int uid = pass == 1 ? 65534 : -1;
        ScratchDir bare;
        ScratchDir boxed;
        make_change_tree(bare.path());
        make_change_tree(boxed.path());
        for (const ScratchDir* tree : {&bare, &boxed}) ASSERT_EQ(chmod((*tree / "rw/locked").c_str(), 0555), 0);
        RunOptions options;
        options.run_as_uid = uid;
        const mode_t saved = umask(022);
        std::vector<std::string> printed[2];
        for (int i = 0; i < 2; ++i) {
            const std::string root = i == 0 ? bare.path() : boxed.path();
            std::vector<Words> all = {{"openat", "AT_FDCWD", root + "/rw", "O_RDONLY|O_DIRECTORY"}, {"save", "rw"}};
            if (pass == 2) all.insert(all.end(), dropping.begin(), dropping.end());
            for (Words op : ops) {
                for (std::string& word : op) {
                    if (word.rfind("s:{s}", 0) == 0) word = "s:" + root + word.substr(5);
                }
                all.push_back(op);
            }
            Words argv = {e2e::probe_path()};
            for (const std::string& word : e2e::ops(all)) argv.push_back(word);
            if (i == 1) argv = e2e::sandboxed(e2e::probe_policy({{"E", root}, {"W", root}}), argv);
            RunResult r = e2e::run(argv, options);
            ASSERT_EQ(r.code, 0) << r.err;
            printed[i] = e2e::lines_of(r.out);
        }
        umask(saved);
        const size_t first = pass == 2 ? 2 + dropping.size() : 2;
        ASSERT_EQ(printed[0].size(), ops.size() + first);
        ASSERT_EQ(printed[1].size(), printed[0].size());
        for (size_t i = first; i < printed[0].size(); ++i) {
            std::string op;
            for (const std::string& word : ops[i - first]) op += " " + word;
            EXPECT_EQ(printed[1][i], printed[0][i]) << "pass " << pass << ":" << op;
        }
        std::vector<std::string> left[2];
        list_tree(bare.path(), "", &left[0]);
        list_tree(boxed.path(), "", &left[1]);
        EXPECT_EQ(left[1], left[0]) << "pass " << pass;
    }
}

// ---- calls refused whatever the path -------------------------------------------------

TEST_F(FileCalls, DeviceNodesAreNeverMade) {
    const std::string legacy_denied = k_has_legacy_calls ? k_denied : "ERR ENOSYS";
    expect_rows({
        {{"mknodat", "rw", "chr", "S_IFCHR|0600", "0x103"}, k_denied},
        {{"mknodat", "rw", "blk", "S_IFBLK|0600", "0x700"}, k_denied},
        {{"mknod", "{s}/rw/chr2", "S_IFCHR|0600", "0x103"}, legacy_denied},
        {{"mknod", "{s}/rw/blk2", "S_IFBLK|0600", "0x700"}, legacy_denied},
        {{"mknodat", "rw", "fifo", "S_IFIFO|0600", "0"}, "OK"},
        {{"mknodat", "rw", "socket", "S_IFSOCK|0600", "0"}, "OK"},
    });
    for (const char* name : {"rw/chr", "rw/blk", "rw/chr2", "rw/blk2"})
        EXPECT_FALSE(e2e::file_exists(at(name))) << name;
}

TEST_F(FileCalls, OpenAt2ResolveInRootIsRefused) {
    // In-root resolution makes an absolute name start at the descriptor:
    // the rules would judge a different file than the one opened.
    expect_rows({
        {{"openat2", "ro", "f", "O_RDONLY", "RESOLVE_IN_ROOT"}, k_denied},
        {{"openat2", "rw", "/f", "O_RDONLY", "RESOLVE_IN_ROOT"}, k_denied},
        {{"openat2", "ro", "f", "O_RDONLY", "RESOLVE_IN_ROOT|RESOLVE_NO_SYMLINKS"}, k_denied},
        {{"openat2", "ro", "f", "O_RDONLY", "RESOLVE_BENEATH"}, "OK #"},
        {{"openat2", "rw", "f", "O_WRONLY|O_TRUNC", "RESOLVE_BENEATH"}, "OK #"},
        {{"openat2", "ro", "f", "O_RDONLY", "RESOLVE_NO_SYMLINKS|RESOLVE_NO_MAGICLINKS|RESOLVE_NO_XDEV"}, "OK #"},
        {{"openat2", "rw", "link-to-ro", "O_RDONLY", "RESOLVE_NO_SYMLINKS"}, "ERR ELOOP"},
        {{"openat2", "ro", "f", "O_WRONLY", "RESOLVE_BENEATH"}, k_denied},
    });
}

// ---- exec: one probe per case, as a successful exec ends the list -----------------

struct ExecCase {
    const char* name;
    Words ops;       // may use {s}
    Words expected;  // "OK #" for any number
};

class FileCallsExec : public FileCalls, public testing::WithParamInterface<ExecCase> {};

TEST_P(FileCallsExec, Judged) {
    const ExecCase& c = GetParam();
    Words words;
    for (const std::string& w : c.ops) words.push_back(sub(w));
    RunResult r = e2e::run(e2e::sandboxed_probe(policy(), words));
    ASSERT_FALSE(r.timed_out);
    Words got = e2e::lines_of(r.out);
    ASSERT_EQ(got.size(), c.expected.size()) << r.out << r.err;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(matches(got[i], c.expected[i])) << "line " << i << ": " << got[i];
    }
}

// Opens path with flags and saves the descriptor as "d" before the rest.
Words after_open(const char* path, const char* flags, const Words& rest) {
    Words out = {"openat", "AT_FDCWD", path, flags, ":", "save", "d", ":"};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

const Words k_ran = {"OK #", "OK", "ran"};
const Words k_refused = {"OK #", "OK", k_denied};

INSTANTIATE_TEST_SUITE_P(
    FileCalls, FileCallsExec,
    testing::Values(
        // ro/prog is a link to the probe; the new probe runs "echo ran".
        ExecCase{"visible_program", {"execve", "{s}/ro/prog", "echo", "ran"}, {"ran"}},
        ExecCase{"hidden_program", {"execve", "{s}/hidden/prog", "echo", "ran"}, {k_denied}},
        ExecCase{"link_to_hidden_program", {"execve", "{s}/ro/link-to-prog", "echo", "ran"}, {k_denied}},
        ExecCase{"null_path", {"execve", "NULL"}, {k_denied}},
        ExecCase{"at_directory",
                 after_open("{s}/ro", "O_RDONLY|O_DIRECTORY", {"execveat", "d", "prog", "0", "echo", "ran"}), k_ran},
        // An exec is judged where a link leads, whatever the flag says.
        ExecCase{"at_link_to_hidden_not_followed",
                 after_open("{s}/ro", "O_RDONLY|O_DIRECTORY",
                            {"execveat", "d", "link-to-prog", "AT_SYMLINK_NOFOLLOW", "echo", "ran"}),
                 k_refused},
        ExecCase{"empty_path_on_visible_program",
                 after_open("{s}/ro/prog", "O_PATH", {"execveat", "d", "EMPTY", "AT_EMPTY_PATH", "echo", "ran"}),
                 k_ran},
        // stat_allow lets the hidden program be opened for looking only.
        ExecCase{"empty_path_on_hidden_program",
                 after_open("{s}/hidden/prog", "O_PATH", {"execveat", "d", "EMPTY", "AT_EMPTY_PATH", "echo", "ran"}),
                 k_refused},
        ExecCase{"empty_path_without_flag",
                 after_open("{s}/ro/prog", "O_PATH", {"execveat", "d", "EMPTY", "0", "echo", "ran"}), k_refused}),
    [](const testing::TestParamInfo<ExecCase>& param) { return std::string(param.param.name); });

}  // namespace
