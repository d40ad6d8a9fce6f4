#include "path/normalize.h"

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "unit/live_thread.h"

namespace {

std::string normalized(const std::string& path) {
    char out[k_path_size];
    if (!normalize_lexical(path.c_str(), out)) return "<refused>";
    return out;
}

TEST(NormalizeLexical, Table) {
    struct Case {
        const char* input;
        const char* output;
    };
    const Case cases[] = {
        // clang-format off
        {"", "/"},          {"/", "/"},           {"///", "/"},         {"/a//b/", "/a/b"},
        {"/a/./b/.", "/a/b"}, {"/a/b/../c", "/a/c"}, {"/a/..", "/"},      {"/..", "/"},
        {"/../../x", "/x"}, {"/a/...", "/a/..."}, {"/.hidden/..x", "/.hidden/..x"}, {"a/b", "/a/b"},
        // clang-format on
    };
    for (const Case& c : cases) EXPECT_EQ(normalized(c.input), c.output) << '"' << c.input << '"';
}

// A path that cannot be held whole is refused rather than judged in part.
TEST(NormalizeLexical, LimitsFailClosed) {
    std::string many;
    for (int i = 0; i < 512; ++i) many += "/a";
    EXPECT_EQ(normalized(many).size(), 1024u);
    EXPECT_EQ(normalized(many + "/b"), "<refused>");
    EXPECT_EQ(normalized(many + "/..").size(), 1022u);
    EXPECT_EQ(normalized(many + "/./b/.."), "<refused>");

    // A relative input of 4095 bytes in two components.
    std::string relative = std::string(2000, 'x') + "/" + std::string(2094, 'y');
    ASSERT_EQ(relative.size(), 4095u);
    EXPECT_EQ(normalized(relative), "<refused>");
    std::string absolute = "/" + std::string(2000, 'x') + "/" + std::string(2093, 'y');
    EXPECT_EQ(normalized(absolute), absolute);
}

// A thread of this process stands for the tracee thread.
TEST(RewriteProcSelf, Table) {
    LiveThread tracee;
    const std::string group = std::to_string(getpid());
    const std::string thread = std::to_string(tracee.tid());
    struct Case {
        std::string input;
        std::string output;
    };
    const Case cases[] = {
        {"/proc/self", "/proc/" + group},
        {"/proc/self/fd/3", "/proc/" + group + "/fd/3"},
        {"/proc/thread-self", "/proc/" + group + "/task/" + thread},
        {"/proc/thread-self/attr/current", "/proc/" + group + "/task/" + thread + "/attr/current"},
        {"/proc/selfish", "/proc/selfish"},
        {"/tmp/proc/self", "/tmp/proc/self"},
        {"/proc/1/status", "/proc/1/status"},
    };
    for (const Case& c : cases) {
        char out[k_path_size];
        ASSERT_TRUE(rewrite_proc_self(c.input.c_str(), tracee.tid(), out));
        EXPECT_EQ(std::string(out), c.output) << c.input;
    }

    // A rewrite that would no longer fit is refused. No such thread: the
    // thread id stands for its group, and ten digits make the path grow.
    std::string long_path = "/proc/self/" + std::string(4084, 'x');
    ASSERT_EQ(long_path.size(), k_path_max);
    char out[k_path_size];
    EXPECT_FALSE(rewrite_proc_self(long_path.c_str(), 0x3ffffff0, out));
    EXPECT_TRUE(rewrite_proc_self(long_path.c_str() + 5, 0x3ffffff0, out));
}

TEST(JoinPath, Table) {
    struct Case {
        std::string dir;
        std::string name;
        std::string output;
    };
    const std::string long_dir = "/" + std::string(4093, 'd');
    const Case cases[] = {
        {"/", "etc", "/etc"},
        {"/usr", "lib", "/usr/lib"},
        {"/usr", "", "/usr/"},
        {"/usr/", "lib", "/usr//lib"},
        {long_dir, "x", long_dir + "/"},
        {"/", std::string(5000, 'n'), "/" + std::string(4094, 'n')},
        {"/ab", std::string(5000, 'n'), "/ab/" + std::string(4091, 'n')},
    };
    for (const Case& c : cases) {
        char out[k_path_size];
        join_path(out, c.dir.c_str(), c.name.c_str());
        EXPECT_EQ(std::string(out), c.output) << c.dir.size() << " " << c.name.size();
        EXPECT_LE(strlen(out), k_path_max);
    }
}

}  // namespace
