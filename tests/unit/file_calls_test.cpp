#include "supervisor/file_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "path/path_rules.h"

namespace {

constexpr uint64_t k_path_a = 0x1000;
constexpr uint64_t k_path_b = 0x2000;
constexpr int k_fdcwd = AT_FDCWD;

struct Expect {
    int dirfd;
    uint64_t address;
    int access;
    int follow;
    int empty;
};

void expect_operand(CallId id, int slot, const uint64_t* args, uint64_t open_flags, const Expect& e,
                    unsigned nofollow = k_x86_64_o_nofollow) {
    const FileCall* call = find_file_call(id);
    ASSERT_NE(call, nullptr) << id;
    ASSERT_LT(slot, call->paths);
    PathOperand op = make_operand(call->slot[slot], args, open_flags, nofollow);
    EXPECT_EQ(op.dirfd, e.dirfd) << id;
    EXPECT_EQ(op.address, e.address) << id;
    EXPECT_EQ(op.access, e.access) << id;
    EXPECT_EQ(op.follow, e.follow) << id;
    EXPECT_EQ(op.empty_path_result, e.empty) << id;
}

TEST(FileCallTable, EveryFileCallHasARowAndOthersNone) {
    int rows = 0;
    for (int id = 0; id < CALL_COUNT; ++id) {
        if (find_file_call(static_cast<CallId>(id)) != nullptr) ++rows;
    }
    EXPECT_EQ(rows, 37 + 10);
    for (CallId id : {CALL_CONNECT, CALL_SENDTO, CALL_PTRACE, CALL_PROCESS_VM_READV, CALL_PROCESS_VM_WRITEV,
                      CALL_KILL, CALL_TKILL, CALL_TGKILL}) {
        EXPECT_EQ(find_file_call(id), nullptr) << id;
    }
}

// Arguments chosen so that every slot shows where it came from: dirfds 5
// and 7, paths at two addresses, and flags that neither follow nor accept
// an empty path unless the row says so.
TEST(FileCallTable, SinglePathRows) {
    struct Row {
        CallId id;
        uint64_t args[6];
        Expect expect;
    };
    const uint64_t nf = 0x100;   // AT_SYMLINK_NOFOLLOW
    const uint64_t ep = 0x1000;  // AT_EMPTY_PATH
    const Row rows[] = {
        {CALL_CREAT, {k_path_a, 0644}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_STAT, {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_LSTAT, {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 0, 0}},
        {CALL_NEWFSTATAT, {5, k_path_a, 0, nf | ep}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {CALL_NEWFSTATAT, {5, k_path_a, nf | ep, 0}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_STATX, {5, k_path_a, nf | ep, 0}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {CALL_STATX, {5, k_path_a, 0, nf | ep}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_READLINK, {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 0, 0}},
        {CALL_READLINKAT, {5, k_path_a}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {CALL_ACCESS, {k_path_a, X_OK}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_ACCESS, {k_path_a, F_OK}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_ACCESS, {k_path_a, R_OK}, {k_fdcwd, k_path_a, ACCESS_READ, 1, 0}},
        {CALL_ACCESS, {k_path_a, W_OK | R_OK}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_FACCESSAT, {5, k_path_a, F_OK, nf | ep}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {CALL_FACCESSAT2, {5, k_path_a, R_OK | X_OK, nf | ep}, {5, k_path_a, ACCESS_READ, 0, 1}},
        {CALL_FACCESSAT2, {5, k_path_a, W_OK, 0}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_MKDIR, {k_path_a, 0755}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_MKDIRAT, {5, k_path_a, 0755}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_MKNOD, {k_path_a, 0600}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_MKNODAT, {5, k_path_a, 0600}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_TRUNCATE, {k_path_a, 10}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_CHMOD, {k_path_a, 0600}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_FCHMODAT, {5, k_path_a, 0600, nf}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_FCHMODAT2, {5, k_path_a, 0600, nf | ep}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_CHOWN, {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_LCHOWN, {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_FCHOWNAT, {5, k_path_a, 0, 0, nf | ep}, {5, k_path_a, ACCESS_WRITE, 0, 1}},
        {CALL_FCHOWNAT, {5, k_path_a, nf, ep, 0}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {CALL_UTIMENSAT, {5, k_path_a, 0, nf}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_UTIMENSAT, {5, k_path_a, 0, ep}, {5, k_path_a, ACCESS_WRITE, 1, 1}},
        {CALL_SYMLINK, {k_path_b, k_path_a}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_SYMLINKAT, {k_path_b, 5, k_path_a}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_UNLINK, {k_path_a}, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0}},
        {CALL_RMDIR, {k_path_a}, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0}},
        {CALL_UNLINKAT, {5, k_path_a, 0x200}, {5, k_path_a, ACCESS_DELETE, 0, 0}},
        {CALL_EXECVE, {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_EXEC, 1, 0}},
        {CALL_EXECVEAT, {5, k_path_a, 0, 0, nf | ep}, {5, k_path_a, ACCESS_EXEC, 0, 1}},
        // The low 32 bits of a dirfd argument, as a signed int.
        {CALL_MKDIRAT, {0xffffffff00000007ull, k_path_a, 0}, {7, k_path_a, ACCESS_WRITE, 0, 0}},
        {CALL_MKDIRAT, {0x00000000ffffff9cull, k_path_a, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
    };
    for (const Row& row : rows) expect_operand(row.id, 0, row.args, 0, row.expect);
}

TEST(FileCallTable, OpenFlags) {
    struct Row {
        uint64_t flags;
        int access;
    };
    const Row rows[] = {
        {O_RDONLY, ACCESS_READ},           {O_RDONLY | O_CREAT, ACCESS_WRITE}, {O_RDONLY | O_TRUNC, ACCESS_WRITE},
        {O_APPEND, ACCESS_WRITE},          {O_WRONLY, ACCESS_WRITE},           {O_RDWR, ACCESS_WRITE},
        {O_PATH, ACCESS_STAT},             {O_PATH | O_WRONLY, ACCESS_WRITE},  {O_RDONLY | O_DIRECTORY, ACCESS_READ},
        {O_RDONLY | O_CLOEXEC, ACCESS_READ},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(access_of_open_flags(row.flags), row.access) << std::hex << row.flags;
        uint64_t open_args[6] = {k_path_a, row.flags};
        expect_operand(CALL_OPEN, 0, open_args, row.flags, {k_fdcwd, k_path_a, row.access, 1, 0});
        uint64_t openat_args[6] = {5, k_path_a, row.flags};
        expect_operand(CALL_OPENAT, 0, openat_args, row.flags, {5, k_path_a, row.access, 1, 0});
        // openat2 keeps its flags in the tracee: they arrive separately.
        uint64_t openat2_args[6] = {5, k_path_a, 0x7000, 24};
        expect_operand(CALL_OPENAT2, 0, openat2_args, row.flags, {5, k_path_a, row.access, 1, 0});
    }
}

// O_NOFOLLOW is 0x20000 on x86-64 and 0x8000 on AArch64; each build tests
// its own bit only.
TEST(FileCallTable, NoFollowBitOfEachBuild) {
    struct Row {
        uint64_t flags;
        unsigned nofollow;
        int follow;
    };
    const Row rows[] = {
        {0x20000, k_x86_64_o_nofollow, 0},
        {0x8000, k_x86_64_o_nofollow, 1},
        {0x8000, k_aarch64_o_nofollow, 0},
        {0x20000, k_aarch64_o_nofollow, 1},
    };
    for (const Row& row : rows) {
        uint64_t args[6] = {5, k_path_a, row.flags};
        expect_operand(CALL_OPENAT, 0, args, row.flags, {5, k_path_a, ACCESS_READ, row.follow, 0}, row.nofollow);
    }
}

TEST(FileCallTable, TwoPathRows) {
    const uint64_t ep = 0x1000;
    uint64_t rename_args[6] = {k_path_a, k_path_b};
    expect_operand(CALL_RENAME, 0, rename_args, 0, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0});
    expect_operand(CALL_RENAME, 1, rename_args, 0, {k_fdcwd, k_path_b, ACCESS_DELETE, 0, 0});
    for (CallId id : {CALL_RENAMEAT, CALL_RENAMEAT2}) {
        uint64_t args[6] = {5, k_path_a, 7, k_path_b, 1};
        expect_operand(id, 0, args, 0, {5, k_path_a, ACCESS_DELETE, 0, 0});
        expect_operand(id, 1, args, 0, {7, k_path_b, ACCESS_DELETE, 0, 0});
    }
    uint64_t link_args[6] = {k_path_a, k_path_b};
    expect_operand(CALL_LINK, 0, link_args, 0, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0});
    expect_operand(CALL_LINK, 1, link_args, 0, {k_fdcwd, k_path_b, ACCESS_WRITE, 0, 0});
    // The source follows whatever the flags say; only AT_EMPTY_PATH is read.
    uint64_t linkat_args[6] = {5, k_path_a, 7, k_path_b, ep | 0x400};
    expect_operand(CALL_LINKAT, 0, linkat_args, 0, {5, k_path_a, ACCESS_WRITE, 1, 1});
    expect_operand(CALL_LINKAT, 1, linkat_args, 0, {7, k_path_b, ACCESS_WRITE, 0, 0});
    uint64_t plain_linkat[6] = {5, k_path_a, 7, k_path_b, 0};
    expect_operand(CALL_LINKAT, 0, plain_linkat, 0, {5, k_path_a, ACCESS_WRITE, 1, 0});
}

}  // namespace
