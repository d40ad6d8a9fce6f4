#include "path/descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/io.h"
#include "proc/process_tree.h"
#include "support/run.h"

namespace {

TEST(DescriptorPath, Names) {
    const std::string self = std::to_string(getpid());
    struct Case {
        std::string path;
        std::string link;  // empty: not a descriptor path
        std::string fdinfo;
    };
    const Case cases[] = {
        {"/proc/12/fd/3", "/proc/12/fd/3", "/proc/12/fdinfo/3"},
        {"/proc/12/task/13/fd/0", "/proc/12/task/13/fd/0", "/proc/12/task/13/fdinfo/0"},
        {"/dev/fd/4", "/proc/" + self + "/fd/4", "/proc/" + self + "/fdinfo/4"},
        {"/proc/12/fd", "", ""},
        {"/proc/12/fd/", "", ""},
        {"/proc/12/fd/3/x", "", ""},
        {"/proc/12/fd/3x", "", ""},
        {"/proc/12/fd/-1", "", ""},
        {"/proc/12/status", "", ""},
        {"/proc/x/fd/3", "", ""},
        {"/proc/12/task/fd/3", "", ""},
        {"/dev/fd", "", ""},
        {"/dev/fd/", "", ""},
        {"/dev/fd/a", "", ""},
        {"/dev/stdin", "", ""},
        {"/tmp/fd/3", "", ""},
    };
    for (const Case& c : cases) {
        char link[64];
        char fdinfo[64];
        bool named = name_descriptor_path(c.path.c_str(), getpid(), link, fdinfo, sizeof(link));
        EXPECT_EQ(named, !c.link.empty()) << c.path;
        if (named) {
            EXPECT_EQ(std::string(link), c.link);
            EXPECT_EQ(std::string(fdinfo), c.fdinfo);
        }
    }
}

TEST(DescriptorPath, TargetsAndModes) {
    e2e::ScratchDir scratch;
    e2e::write_file(scratch / "f", "x");
    struct Case {
        int flags;
        bool readable;
        bool writable;
    };
    const Case cases[] = {
        {O_RDONLY, 1, 0}, {O_WRONLY, 0, 1}, {O_RDWR, 1, 1}, {O_PATH, 0, 0}, {O_RDONLY | O_APPEND | O_CLOEXEC, 1, 0},
    };
    for (const Case& c : cases) {
        int fd = open((scratch / "f").c_str(), c.flags);
        ASSERT_GE(fd, 0);
        std::string base = "/proc/" + std::to_string(getpid());
        std::string link = base + "/fd/" + std::to_string(fd);
        std::string fdinfo = base + "/fdinfo/" + std::to_string(fd);
        char target[4096];
        ASSERT_GT(read_link(link.c_str(), target, sizeof(target)), 0);
        EXPECT_EQ(std::string(target), scratch / "f");
        EXPECT_TRUE(is_path_target(target));
        EXPECT_EQ(is_descriptor_open_for(fdinfo.c_str(), false), c.readable) << c.flags;
        EXPECT_EQ(is_descriptor_open_for(fdinfo.c_str(), true), c.writable) << c.flags;
        close(fd);
        EXPECT_FALSE(is_descriptor_open_for(fdinfo.c_str(), false));
        EXPECT_EQ(read_link(link.c_str(), target, sizeof(target)), -1);
    }

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(p[0]);
    ASSERT_GT(read_link(link.c_str(), target, sizeof(target)), 0);
    EXPECT_FALSE(is_path_target(target)) << target;
    close(p[0]);
    close(p[1]);
    EXPECT_FALSE(is_path_target("/memfd:x (deleted)"));
    EXPECT_FALSE(is_path_target("anon_inode:[eventfd]"));
    EXPECT_TRUE(is_path_target("/home/u/file (deleted)"));
}

}  // namespace
